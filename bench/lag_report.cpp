// Turns the record of one daemon run into throughput, scheduling lag and the skip and double
// checks, for bench/run.sh.
//
//   lag_report --stores FILE [--starts FILE] --interval MS --from T --to T [--services N]
//
// --stores: one line "ID EPOCH_US" per stored run: the service id and the commit time of the
//   daemon's "UpdateState" transaction (read back from the write-ahead log after the run).
// --starts: one line "ID EPOCH_NS" per plugin start, written by the trivial plugin itself.
// --from, --to: the measured window, wall-clock seconds since the epoch.
//
// A worker computes a service's next due time on the monotonic clock, to the millisecond, as
// the end of its run plus the interval (the end of the run's store, when runs are stored one by
// one). The plugin's start is the nearest thing outside the daemon to the run's end, so the lag
// of run k is taken as start(k) - (start(k-1) + interval): how late the run starts on its period,
// the previous run's own length included (plugin, and its store when stored run by run), which
// makes it an upper bound. First runs (due at load time plus a random spread) have no lag.
//
// Store delay: for every store, its commit time less the start of the run it stores (the
// service's latest start before it): an upper bound of the time from a run's end to its commit.
//
// Doubled: a start with no store of the same service since its previous start (the service was
// running twice at once), or a start sooner than the interval after the previous one (less
// kTolerance). Skipped: a service that did not start at all in the window, or went more than two
// whole periods (2 x (interval + 1 s)) without a start inside it.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

const long long kTolerance = 5000;  // microseconds

struct Event {
  long long t;  // microseconds since the epoch
  bool start;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "lag_report: %s\n", what.c_str());
  std::exit(1);
}

// Reads "ID TIME" lines; divisor turns TIME into microseconds.
long readEvents(const std::string& path, bool start, long long divisor,
                std::unordered_map<long, std::vector<Event>>* by_service) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) fail("cannot open " + path);
  long id;
  long long t;
  long n = 0;
  while (std::fscanf(f, "%ld %lld", &id, &t) == 2) {
    (*by_service)[id].push_back({t / divisor, start});
    ++n;
  }
  std::fclose(f);
  return n;
}

double percentile(std::vector<long long>& v, double p) {
  if (v.empty()) return -1;
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(std::ceil(p * v.size())) - 1);
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k] / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::string stores, starts;
  long long interval_us = -1;
  double from = 0, to = 0;
  long services = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    const char* v = argv[i + 1];
    if (k == "--stores")
      stores = v;
    else if (k == "--starts")
      starts = v;
    else if (k == "--interval")
      interval_us = std::atoll(v) * 1000;
    else if (k == "--from")
      from = std::atof(v);
    else if (k == "--to")
      to = std::atof(v);
    else if (k == "--services")
      services = std::atol(v);
    else
      fail("unknown option " + k);
  }
  if (stores.empty() || interval_us < 0 || to <= from)
    fail(
        "usage: lag_report --stores FILE [--starts FILE] --interval MS --from T --to T "
        "[--services N]");
  const long long w0 = static_cast<long long>(from * 1e6);
  const long long w1 = static_cast<long long>(to * 1e6);
  const double span = (w1 - w0) / 1e6;

  std::unordered_map<long, std::vector<Event>> events;
  const long stored_total = readEvents(stores, false, 1, &events);
  long started_total = 0;
  if (!starts.empty()) started_total = readEvents(starts, true, 1000, &events);

  long stored_window = 0, started_window = 0, doubled = 0, skipped = 0;
  long services_started = 0;
  std::vector<long long> lags, delays;
  const long long max_gap = 2 * (interval_us + 1000000);
  for (auto& [id, ev] : events) {
    std::sort(ev.begin(), ev.end(), [](const Event& a, const Event& b) {
      return a.t != b.t ? a.t < b.t : a.start > b.start;  // a start before a store at the same µs
    });
    long long last_start = -1;
    bool stored_since_start = true;
    long long window_last_start = w0;
    bool started_in_window = false;
    for (const Event& e : ev) {
      if (!e.start) {
        if (e.t >= w0 && e.t < w1) {
          ++stored_window;
          if (last_start >= 0 && !stored_since_start) delays.push_back(e.t - last_start);
        }
        stored_since_start = true;
        continue;
      }
      const bool in_window = e.t >= w0 && e.t < w1;
      if (last_start >= 0 && (!stored_since_start || e.t < last_start + interval_us - kTolerance)) {
        if (in_window) ++doubled;
      }
      if (in_window) {
        ++started_window;
        if (e.t - window_last_start > max_gap) ++skipped;
        window_last_start = e.t;
        started_in_window = true;
        if (last_start >= 0) lags.push_back(e.t - (last_start + interval_us));
      }
      last_start = e.t;
      stored_since_start = false;
    }
    if (started_in_window) {
      ++services_started;
      if (w1 - window_last_start > max_gap) ++skipped;
    }
  }
  if (!starts.empty() && services > 0) skipped += services - services_started;

  std::printf("stored_total=%ld\n", stored_total);
  std::printf("stored_window=%ld\n", stored_window);
  std::printf("stored_per_s=%.1f\n", stored_window / span);
  if (!starts.empty()) {
    std::printf("started_total=%ld\n", started_total);
    std::printf("started_window=%ld\n", started_window);
    std::printf("started_per_s=%.1f\n", started_window / span);
    std::printf("services_started=%ld\n", services_started);
    std::printf("lag_runs=%zu\n", lags.size());
    std::printf("lag_p50_s=%.4f\n", percentile(lags, 0.50));
    std::printf("lag_p99_s=%.4f\n", percentile(lags, 0.99));
    std::printf("lag_max_s=%.4f\n",
                lags.empty() ? -1.0 : *std::max_element(lags.begin(), lags.end()) / 1e6);
    std::printf("store_delay_runs=%zu\n", delays.size());
    std::printf("store_delay_p50_s=%.4f\n", percentile(delays, 0.50));
    std::printf("store_delay_p99_s=%.4f\n", percentile(delays, 0.99));
    std::printf("doubled=%ld\n", doubled);
    std::printf("skipped=%ld\n", skipped);
  }
  return 0;
}
