// The metrics endpoint. libmicrohttpd runs the server on a thread of its own, with a bound on
// its connections, a timeout for each and a memory bound for each request, so that a slow, a
// large or a crowd of clients costs only that thread. Its timeout only counts silence, so a
// client sending a byte a second would keep its connection for hours: a reaper thread closes
// every connection older than kConnectionLifetimeS, whatever it sends. A scrape reads the counters
// the cores and pools keep as relaxed atomics (nothing a worker waits for), and takes, one at a
// time and each for one read, a core's queue locks, mutex_busy and mutex_vec_thread, as the status
// monitor does.

#include "daemon/metrics.h"

#include <arpa/inet.h>
#include <errno.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "cluster/cluster_state.h"
#include "core/histogram.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "db/pool.h"
#include "sched/batch_writer.h"
#include "sched/context.h"
#include "sched/info_thread.h"
#include "sched/result_journal.h"
#include "sched/scheduled_services.h"

#ifndef MAVO_VERSION
#define MAVO_VERSION "unknown"
#endif

namespace {

const unsigned kMaxConnections = 32;
const unsigned kConnectionTimeoutS = 5;
const size_t kRequestMemory = 16384;      // a larger request is refused
const int64_t kConnectionLifetimeS = 10;  // from accept to close, however busy the client
const long kReapPeriodMs = 1000;

std::string number(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

// Writes the HELP and TYPE lines of a metric.
void head(std::ostringstream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

void histogram(std::ostringstream& out, const char* name, const std::string& labels,
               const Histogram& h) {
  const Histogram::Snapshot s = h.snapshot();
  const std::string sep = labels.empty() ? "" : ",";
  for (size_t i = 0; i < s.bounds.size(); ++i)
    out << name << "_bucket{" << labels << sep << "le=\"" << number(s.bounds[i]) << "\"} "
        << s.cumulative[i] << "\n";
  out << name << "_bucket{" << labels << sep << "le=\"+Inf\"} " << s.count << "\n";
  const std::string set = labels.empty() ? "" : "{" + labels + "}";
  out << name << "_sum" << set << " " << number(s.sum) << "\n";
  out << name << "_count" << set << " " << s.count << "\n";
}

std::string coreLabel(size_t i) { return "core=\"" + std::to_string(i) + "\""; }

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**) {
  const MetricsServer* self = static_cast<const MetricsServer*>(cls);
  unsigned status = 200;
  std::string body, type = "text/plain; charset=utf-8";
  bool method_refused = false;
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
    status = 405;
    body = "only GET and HEAD\n";
    method_refused = true;
  } else if (strcmp(url, "/metrics") == 0) {
    body = self->scrape();
    type = "text/plain; version=0.0.4; charset=utf-8";
  } else if (strcmp(url, "/healthz") == 0) {
    const auto [healthy, reason] = self->health();
    status = healthy ? 200 : 503;
    body = reason + "\n";
  } else {
    status = 404;
    body = "not found: /metrics and /healthz only\n";
  }
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", type.c_str());
  if (method_refused) MHD_add_response_header(response, "Allow", "GET, HEAD");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

// The connections libmicrohttpd holds, by socket, with the time each was accepted. A thread of
// its own wakes every kReapPeriodMs and shuts down (both ways) the sockets of those open for
// kConnectionLifetimeS or more; libmicrohttpd then reads their end and closes them. A socket
// leaves the table when libmicrohttpd says its connection is closed, which it says before it
// closes the socket, and the shutdowns are made under the table's mutex: a socket number is
// never shut down once it may belong to another connection or file.
class ConnectionReaper {
 public:
  ConnectionReaper() {
    pthread_mutex_init(&mutex_, nullptr);
    initMonotonicCond(&wake_);
    if (const int rc = pthread_create(&thread_, nullptr, &ConnectionReaper::run, this); rc != 0) {
      pthread_cond_destroy(&wake_);
      pthread_mutex_destroy(&mutex_);
      throw std::runtime_error(std::string("the connection reaper did not start: ") + strerror(rc));
    }
  }
  // Stops the thread at once, without waiting for its next round.
  ~ConnectionReaper() {
    {
      ScopedLock lock(&mutex_);
      stopping_ = true;
      pthread_cond_signal(&wake_);
    }
    pthread_join(thread_, nullptr);
    pthread_cond_destroy(&wake_);
    pthread_mutex_destroy(&mutex_);
  }
  ConnectionReaper(const ConnectionReaper&) = delete;
  ConnectionReaper& operator=(const ConnectionReaper&) = delete;

  // libmicrohttpd's MHD_OPTION_NOTIFY_CONNECTION, called on its thread when a connection is
  // accepted and when it is closed (cls: the reaper).
  static void notify(void* cls, MHD_Connection* connection, void**,
                     MHD_ConnectionNotificationCode code) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr) return;
    ConnectionReaper* self = static_cast<ConnectionReaper*>(cls);
    ScopedLock lock(&self->mutex_);
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
      self->open_[info->connect_fd] = {monotonicMs(), false};
    else if (code == MHD_CONNECTION_NOTIFY_CLOSED)
      self->open_.erase(info->connect_fd);
  }

 private:
  struct Open {
    int64_t accepted_ms;
    bool shut;  // shut down already, its close is on its way
  };

  static void* run(void* arg) {
    clearThreadSignalMask();
    ConnectionReaper* self = static_cast<ConnectionReaper*>(arg);
    ScopedLock lock(&self->mutex_);
    while (!self->stopping_) {
      timespec at;
      clock_gettime(CLOCK_MONOTONIC, &at);
      const timespec until = addMilliseconds(at, kReapPeriodMs);
      pthread_cond_timedwait(&self->wake_, &self->mutex_, &until);
      if (self->stopping_) break;
      const int64_t now = monotonicMs();
      for (auto& [fd, open] : self->open_)
        if (!open.shut && now - open.accepted_ms >= kConnectionLifetimeS * 1000) {
          shutdown(fd, SHUT_RDWR);
          open.shut = true;
        }
    }
    return nullptr;
  }

  pthread_mutex_t mutex_;
  pthread_cond_t wake_;
  bool stopping_ = false;
  std::unordered_map<int, Open> open_;
  pthread_t thread_;
};

namespace {

using AddressList = std::unique_ptr<addrinfo, void (*)(addrinfo*)>;

// The addresses of "HOST:PORT", "[IPV6]:PORT" or ":PORT" (the loopback). Throws
// std::invalid_argument when the text is not such an address or the host cannot be resolved.
AddressList resolveListenAddress(const std::string& address) {
  std::string host, port;
  if (!address.empty() && address[0] == '[') {
    const size_t close = address.find(']');
    if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':')
      throw std::invalid_argument("\"" + address + "\" is not [IPV6]:PORT");
    host = address.substr(1, close - 1);
    port = address.substr(close + 2);
  } else {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos)
      throw std::invalid_argument("\"" + address + "\" is not HOST:PORT");
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
  }
  // Only the loopback unless another host is written.
  if (host.empty()) host = "127.0.0.1";
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
    throw std::invalid_argument("\"" + port + "\" is not a port number (0 to 65535)");

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
    throw std::invalid_argument("host \"" + host + "\": " + gai_strerror(rc));
  return AddressList(found, freeaddrinfo);
}

}  // namespace

void checkListenAddress(const std::string& address) { resolveListenAddress(address); }

MetricsServer::MetricsServer(const std::string& address) {
  AddressList list = resolveListenAddress(address);
  const addrinfo* found = list.get();
  fd_ = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (fd_ < 0) throw std::invalid_argument(std::string("socket: ") + strerror(errno));
  const int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (found->ai_family == AF_INET6) setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (bind(fd_, found->ai_addr, found->ai_addrlen) != 0 || listen(fd_, 64) != 0) {
    const int err = errno;
    close(fd_);
    fd_ = -1;
    throw std::invalid_argument(address + ": " + strerror(err));
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len);
  char name[NI_MAXHOST] = "", service[NI_MAXSERV] = "";
  getnameinfo(reinterpret_cast<sockaddr*>(&bound), len, name, sizeof name, service, sizeof service,
              NI_NUMERICHOST | NI_NUMERICSERV);
  address_ = (bound.ss_family == AF_INET6 ? "[" + std::string(name) + "]" : std::string(name)) +
             ":" + service;
}

MetricsServer::~MetricsServer() {
  if (daemon_ != nullptr)
    MHD_stop_daemon(daemon_);  // closes the listening socket too
  else if (fd_ >= 0)
    close(fd_);
  reaper_.reset();  // after the server: it hears of every connection's close
}

void MetricsServer::start(const SchedContext& ctx, int db_timeout_ms) {
  ctx_ = &ctx;
  db_timeout_ms_ = db_timeout_ms;
  reaper_ = std::make_unique<ConnectionReaper>();
  daemon_ = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr, &answer, this,
      MHD_OPTION_LISTEN_SOCKET, fd_, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutS, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      kRequestMemory, MHD_OPTION_NOTIFY_CONNECTION, &ConnectionReaper::notify, reaper_.get(),
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    reaper_.reset();
    throw std::runtime_error("the HTTP server did not start");
  }
}

std::pair<bool, std::string> MetricsServer::health() const {
  const int64_t now = monotonicMs();
  const std::vector<infoThread*>& cores = *ctx_->cores;
  int64_t last_answer = 0;
  for (size_t i = 0; i < cores.size(); ++i) {
    const int64_t beat = cores[i]->stats.timer_beat_ms.load(std::memory_order_relaxed);
    if (now - beat > db_timeout_ms_)
      return {false, "the timer of core " + std::to_string(i) + " has not moved for " +
                         std::to_string((now - beat) / 1000) + " s"};
    if (cores[i]->pool != nullptr)
      last_answer = std::max(
          last_answer, cores[i]->pool->stats().last_answer_ms.load(std::memory_order_relaxed));
  }
  if (now - last_answer > db_timeout_ms_)
    return {false, "the database has not answered for " +
                       std::to_string((now - last_answer) / 1000) + " s"};
  if (ctx_->cluster != nullptr && !ctx_->cluster->leaseValid())
    return {false, "fenced: the cluster lease of " + ctx_->cluster->node() +
                       " is not confirmed, no check runs"};
  return {true, "ok"};
}

std::string MetricsServer::scrape() const {
  std::ostringstream out;
  const std::vector<infoThread*>& cores = *ctx_->cores;

  head(out, "mavo_build_info", "gauge", "The daemon's version.");
  out << "mavo_build_info{version=\"" << MAVO_VERSION << "\"} 1\n";
  // Prometheus cannot read /healthz: the same verdict, as a number.
  head(out, "mavo_healthy", "gauge",
       "1 while /healthz answers 200 (every core's timer moves, the database answers), else 0.");
  out << "mavo_healthy " << (health().first ? 1 : 0) << "\n";

  head(out, "mavo_runs_total", "counter",
       "Runs whose result was stored, by core and resulting state (unrecorded: the plugin "
       "asked for nothing to be stored).");
  static const char* const kStates[] = {"ok", "warning", "critical", "unknown", "4", "maintenance"};
  for (size_t i = 0; i < cores.size(); ++i) {
    const CoreStats& st = cores[i]->stats;
    for (int s = 0; s < 6; ++s) {
      if (s == 4) continue;  // a state 4 is never stored
      out << "mavo_runs_total{" << coreLabel(i) << ",state=\"" << kStates[s] << "\"} "
          << st.stored[s].load(std::memory_order_relaxed) << "\n";
    }
    out << "mavo_runs_total{" << coreLabel(i) << ",state=\"unrecorded\"} "
        << st.unrecorded.load(std::memory_order_relaxed) << "\n";
  }

  head(out, "mavo_plugin_run_seconds", "histogram", "How long each plugin run took.");
  for (size_t i = 0; i < cores.size(); ++i)
    histogram(out, "mavo_plugin_run_seconds", coreLabel(i), cores[i]->stats.run_seconds);
  // One batch writer serves every core: its histograms come once, without a core label.
  const BatchWriter* writer = cores.empty() ? nullptr : cores[0]->writer;
  head(out, "mavo_write_batch_runs", "histogram",
       "Runs stored together in one transaction by the batch writer.");
  if (writer != nullptr) histogram(out, "mavo_write_batch_runs", "", writer->batchRows());
  head(out, "mavo_write_delay_seconds", "histogram",
       "From the end of a run to the commit of its writes, by the batch writer.");
  if (writer != nullptr) histogram(out, "mavo_write_delay_seconds", "", writer->writeDelay());
  head(out, "mavo_schedule_lag_seconds", "histogram",
       "From a service's due time to the start of its run.");
  for (size_t i = 0; i < cores.size(); ++i)
    histogram(out, "mavo_schedule_lag_seconds", coreLabel(i), cores[i]->stats.lag_seconds);

  struct Gauge {
    const char* name;
    const char* help;
  };
  std::vector<std::vector<int64_t>> per_core(4);
  for (infoThread* core : cores) {
    const int64_t waiting = core->wait_queue->size();
    const int64_t due = static_cast<int64_t>(core->execute_queue->length());
    const int64_t busy = busyWorkers(*core);
    per_core[0].push_back(waiting + due + busy);
    per_core[1].push_back(waiting);
    per_core[2].push_back(due);
    per_core[3].push_back(busy);
  }
  const Gauge gauges[] = {
      {"mavo_services_loaded", "Services on the core: waiting, due or running."},
      {"mavo_wait_queue_length", "Services waiting for their due time."},
      {"mavo_execute_queue_length", "Services due and waiting for a worker."},
      {"mavo_busy_workers", "Workers running a service."},
  };
  for (size_t g = 0; g < 4; ++g) {
    head(out, gauges[g].name, "gauge", gauges[g].help);
    for (size_t i = 0; i < cores.size(); ++i)
      out << gauges[g].name << "{" << coreLabel(i) << "} " << per_core[g][i] << "\n";
  }

  struct CoreCounter {
    const char* name;
    const char* help;
    const std::atomic<uint64_t> CoreStats::*field;
  };
  const CoreCounter counters[] = {
      {"mavo_plugin_timeouts_total", "Plugin runs stopped at their time limit.",
       &CoreStats::timeouts},
      {"mavo_plugin_outputs_cut_total", "Plugin outputs cut at 1 MiB.", &CoreStats::cut_outputs},
  };
  for (const CoreCounter& c : counters) {
    head(out, c.name, "counter", c.help);
    for (size_t i = 0; i < cores.size(); ++i)
      out << c.name << "{" << coreLabel(i) << "} "
          << (cores[i]->stats.*(c.field)).load(std::memory_order_relaxed) << "\n";
  }
  uint64_t alerts = ctx_->journal != nullptr ? ctx_->journal->alertsStarted() : 0;
  for (infoThread* core : cores) alerts += core->stats.alerts.load(std::memory_order_relaxed);
  head(out, "mavo_alerts_started_total", "counter", "Alerting programs started.");
  out << "mavo_alerts_started_total " << alerts << "\n";

  head(out, "mavo_journal_entries", "gauge",
       "Writes kept in memory because the database could not take them.");
  out << "mavo_journal_entries " << (ctx_->journal != nullptr ? ctx_->journal->entries() : 0)
      << "\n";
  head(out, "mavo_journal_bytes", "gauge", "Memory those writes hold.");
  out << "mavo_journal_bytes " << (ctx_->journal != nullptr ? ctx_->journal->bytes() : 0) << "\n";

  // The pools: each core's, and the main one (start-up and the reload thread).
  std::vector<std::pair<std::string, const PoolStats*>> pools;
  for (size_t i = 0; i < cores.size(); ++i)
    if (cores[i]->pool != nullptr)
      pools.emplace_back("core" + std::to_string(i), &cores[i]->pool->stats());
  if (ctx_->main_pool != nullptr) pools.emplace_back("main", &ctx_->main_pool->stats());
  head(out, "mavo_db_request_seconds", "histogram",
       "Database requests, from their sending to their answer (or giving up).");
  for (const auto& [name, st] : pools)
    histogram(out, "mavo_db_request_seconds", "pool=\"" + name + "\"", st->request_seconds);
  head(out, "mavo_db_errors_total", "counter",
       "Failed database requests, by SQLSTATE class (timeout: no answer in time; lost: the "
       "connection broke).");
  for (size_t k = 0; k < PoolStats::kClassCount; ++k) {
    uint64_t n = 0;
    for (const auto& [name, st] : pools) n += st->errors[k].load(std::memory_order_relaxed);
    out << "mavo_db_errors_total{class=\"" << PoolStats::kClasses[k] << "\"} " << n << "\n";
  }
  uint64_t reconnects = 0;
  for (const auto& [name, st] : pools) reconnects += st->reconnects.load(std::memory_order_relaxed);
  head(out, "mavo_db_reconnects_total", "counter", "Database connections re-established.");
  out << "mavo_db_reconnects_total " << reconnects << "\n";

  head(out, "mavo_reload_cycles_total", "counter",
       "Reload cycles, by result (failed: one of its parts failed).");
  const DaemonCounters* dc = ctx_->counters;
  out << "mavo_reload_cycles_total{result=\"ok\"} "
      << (dc != nullptr ? dc->reload_ok.load(std::memory_order_relaxed) : 0) << "\n";
  out << "mavo_reload_cycles_total{result=\"failed\"} "
      << (dc != nullptr ? dc->reload_failed.load(std::memory_order_relaxed) : 0) << "\n";

  head(out, "mavo_clock_steps_total", "counter",
       "Steps of the wall clock seen (scheduling counts on the monotonic clock).");
  out << "mavo_clock_steps_total "
      << (dc != nullptr ? dc->clock_steps.load(std::memory_order_relaxed) : 0) << "\n";

  head(out, "mavo_services_scheduled", "gauge", "Services the daemon schedules.");
  const size_t scheduled = ctx_->scheduled != nullptr ? ctx_->scheduled->size() : 0;
  out << "mavo_services_scheduled " << scheduled << "\n";

  if (const ClusterState* c = ctx_->cluster) {
    head(out, "mavo_cluster_members", "gauge", "Live members of the identifier this daemon sees.");
    out << "mavo_cluster_members " << c->members() << "\n";
    head(out, "mavo_cluster_buckets_owned", "gauge", "Buckets of services this daemon owns.");
    out << "mavo_cluster_buckets_owned " << c->ownedBuckets().size() << "\n";
    head(out, "mavo_cluster_services_owned", "gauge", "Services of the buckets this daemon owns.");
    out << "mavo_cluster_services_owned " << scheduled << "\n";
    head(out, "mavo_cluster_lease_seconds", "gauge",
         "Time left on this daemon's lease, on its own clock.");
    out << "mavo_cluster_lease_seconds " << static_cast<double>(c->leaseLeftMs()) / 1000.0 << "\n";
    head(out, "mavo_cluster_fenced", "gauge", "1 while the lease is not confirmed: no check runs.");
    out << "mavo_cluster_fenced " << (c->leaseValid() ? 0 : 1) << "\n";
    head(out, "mavo_cluster_withheld_runs_total", "counter",
         "Runs withheld at the plugin's start: the service was no longer this daemon's (its "
         "lease ended, as when the process was frozen, or its bucket moved).");
    uint64_t withheld = 0;
    for (const infoThread* core : cores)
      withheld += core->stats.withheld.load(std::memory_order_relaxed);
    out << "mavo_cluster_withheld_runs_total " << withheld << "\n";
  }
  return out.str();
}
