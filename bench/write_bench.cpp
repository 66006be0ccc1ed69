// The database side alone: threads that store runs' results as the daemon's writers do, without
// running any plugin, standing in for many daemons on other machines. Each thread owns a range
// of services and a connection, and stores, for as long as asked, either each run on its own
// (the writes of one run, as a worker writes them: mode single) or batches of runs in one
// transaction (the batch writer's set-based statements: mode batch, B runs a batch, 100 by
// default: what a daemon storing 2,000 runs a second, about what a 2-core machine spawns, gathers
// in its default window of 50 ms). Services come in a scattered order, as runs end in a daemon.
// One run in changes (--changes, in hundredths, 5 by default) turns its service CRITICAL or back
// to OK: a state update, an acknowledgement and a new incident.
//
//   write_bench --conninfo CONNINFO --pg-pid PID --services N --threads T --seconds S
//               --mode single|batch [--batch B] [--changes P]
//
// Prints key=value lines, over S seconds after one of warm-up: stored (runs), stored_per_s,
// pg_cpu_s (CPU of the server's processes, from /proc), stored_per_server_core_s (runs the server
// stores per second of one of its cores).

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "sched/batch_writer.h"
#include "sched/incidents.h"
#include "sched/result_journal.h"

namespace {

struct Options {
  std::string conninfo;
  int pg_pid = 0;
  int services = 10000;
  int threads = 8;
  int seconds = 10;
  std::string mode = "batch";
  int batch = 100;
  int changes = 5;  // hundredths of the runs
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: write_bench --conninfo C --pg-pid PID --services N --threads T "
               "--seconds S --mode single|batch [--batch B] [--changes P]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string k = argv[i];
    if (i + 1 >= argc) usage();
    const std::string v = argv[++i];
    if (k == "--conninfo")
      o.conninfo = v;
    else if (k == "--pg-pid")
      o.pg_pid = std::atoi(v.c_str());
    else if (k == "--services")
      o.services = std::atoi(v.c_str());
    else if (k == "--threads")
      o.threads = std::atoi(v.c_str());
    else if (k == "--seconds")
      o.seconds = std::atoi(v.c_str());
    else if (k == "--mode")
      o.mode = v;
    else if (k == "--batch")
      o.batch = std::atoi(v.c_str());
    else if (k == "--changes")
      o.changes = std::atoi(v.c_str());
    else
      usage();
  }
  if (o.conninfo.empty() || o.pg_pid <= 0 || (o.mode != "single" && o.mode != "batch")) usage();
  return o;
}

// CPU ticks of a process and its descendants that still run, and of those it has reaped.
long long ticksOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string f;
  std::vector<std::string> fields;
  while (rest >> f) fields.push_back(f);
  // Fields from the state (3rd): utime is the 14th, stime 15th, cutime 16th, cstime 17th.
  if (fields.size() < 15) return 0;
  return std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str()) +
         std::atoll(fields[13].c_str()) + std::atoll(fields[14].c_str());
}

// The server's processes: the postmaster and its children.
long long serverTicks(int postmaster) {
  long long total = ticksOf(postmaster);
  DIR* d = opendir("/proc");
  if (d == nullptr) return total;
  while (dirent* e = readdir(d)) {
    const int pid = std::atoi(e->d_name);
    if (pid <= 0 || pid == postmaster) continue;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    std::string state;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid == postmaster) total += ticksOf(pid);
  }
  closedir(d);
  return total;
}

// The writes of one run of service id: a plain update, or a change of its state.
RunWrite runOf(unsigned long long id, bool change, int state, const std::string& error_id, long n) {
  RunWrite w;
  w.service_id = id;
  w.device_id = 1 + static_cast<int64_t>(id % 4);
  w.service_name = "bench service " + std::to_string(id);
  w.update = true;
  w.state = state;
  w.output = (state == 0 ? "OK - bench run " : "CRITICAL - bench run ") + std::to_string(n);
  w.ended_ms = monotonicMs();
  if (change) {
    w.acknowledge = true;
    if (state != 0) {
      w.incident = state;
      w.error_id = error_id;
      w.message = w.output;
    }
  }
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  std::string error_id;
  {
    pgConnectionPool probe(o.conninfo, 1);
    PgResult r(probe.executeRequest(
        "SELECT error_id FROM mavo_errors WHERE error_name='default_critical_error'"));
    error_id = PQntuples(r.get()) > 0 ? PQgetvalue(r.get(), 0, 0) : "";
  }
  std::atomic<long> stored{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < o.threads; ++t) {
    threads.emplace_back([&, t] {
      pgConnectionPool pool(o.conninfo, 1);
      for (const auto& st : sql::coreStatements())
        pool.prepareRequest(st.name, st.text, st.nparams);
      ResultJournal journal;
      BatchWriter writer(&pool, &journal, nullptr, BatchWriter::Settings());
      // This thread's services, as one daemon owns its own.
      const int per = o.services / o.threads;
      const unsigned long long first = 1 + static_cast<unsigned long long>(t) * per;
      std::vector<int> state(static_cast<size_t>(per), 0);
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      long n = 0;
      size_t next = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        auto one = [&]() {
          // Services in a scattered order, as runs end in a daemon (not row after row).
          const size_t k = (next++ * 7919) % state.size();
          const bool change = static_cast<int>(random() % 100) < o.changes;
          if (change) state[k] = state[k] == 0 ? 2 : 0;
          return runOf(first + k, change, state[k], error_id, n++);
        };
        try {
          if (o.mode == "single") {
            RunWrite w = one();
            writeRun(w, &pool);
            stored.fetch_add(1, std::memory_order_relaxed);
          } else {
            std::vector<RunWrite> batch;
            for (int b = 0; b < o.batch; ++b) batch.push_back(one());
            long done = 0;
            for (const auto& out : writer.writeBatch(batch)) done += out.kept ? 0 : 1;
            stored.fetch_add(done, std::memory_order_relaxed);
          }
        } catch (const std::exception& e) {
          std::fprintf(stderr, "write_bench: %s\n", e.what());
        }
      }
    });
  }
  // A second of warm-up (connections, statements, the first writes of each row) is not counted.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long stored_before = stored.load();
  const long long ticks_before = serverTicks(o.pg_pid);
  const auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
  const long counted = stored.load() - stored_before;
  const long long ticks_after = serverTicks(o.pg_pid);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  stop = true;
  for (auto& t : threads) t.join();
  const double pg_cpu = static_cast<double>(ticks_after - ticks_before) / sysconf(_SC_CLK_TCK);
  std::printf("mode=%s\nthreads=%d\nbatch=%d\nstored=%ld\nseconds=%.2f\nstored_per_s=%.0f\n",
              o.mode.c_str(), o.threads, o.mode == "batch" ? o.batch : 1, counted, elapsed,
              counted / elapsed);
  std::printf("pg_cpu_s=%.2f\nstored_per_server_core_s=%.0f\n", pg_cpu,
              pg_cpu > 0 ? counted / pg_cpu : 0.0);
  return 0;
}
