// The machine's limit for plugin runs: as many threads as the daemon has workers start the same
// plugin over and over, each run doing what a worker does around a plugin and nothing else (no
// database, no queues): pipe2, posix_spawn with the same file actions and attributes as
// service::execute, read the output to end of file in 1024-byte chunks, waitpid.
//
//   spawn_limit --threads W --seconds S [--warmup S] [--store CONNINFO --services N]
//               -- PROGRAM [ARG...]
//
// With --store, each thread also keeps a database connection and stores every run's result with
// the daemon's own "UpdateState" statement, on service ids 1 to N in turn: the limit of a
// machine that both spawns and stores, with no scheduling around it.
//
// An ARG equal to %ID is replaced by a number unique to each run. Prints key=value lines:
// runs, seconds, runs_per_s, self_user_us_per_run and self_sys_us_per_run (CPU of this
// process, its children excluded: the parent's share of a spawn), children_us_per_run (CPU of
// the plugins themselves), machine_busy_us_per_run (busy CPU of the whole machine), failures.

#include <errno.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "db/statements.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> g_args;  // program and arguments, %ID not yet replaced
std::atomic<long> g_next_id{1};
std::atomic<long> g_failures{0};
std::string g_store;  // connection string of --store, empty without it
long g_services = 0;  // service ids stored, with --store

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: spawn_limit --threads W --seconds S [--warmup S] [--store CONNINFO "
               "--services N] -- PROGRAM [ARG...]\n");
  std::exit(2);
}

// A thread's connection with the update statement prepared, for --store.
class Store {
 public:
  Store() {
    if (g_store.empty()) return;
    conn_ = PQconnectdb(g_store.c_str());
    if (PQstatus(conn_) != CONNECTION_OK) fail(PQerrorMessage(conn_));
    PGresult* r = PQprepare(conn_, "UpdateState", sql::kUpdateState, 3, nullptr);
    if (PQresultStatus(r) != PGRES_COMMAND_OK) fail(PQerrorMessage(conn_));
    PQclear(r);
  }
  ~Store() {
    if (conn_ != nullptr) PQfinish(conn_);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  bool store(long run, const std::string& output) {
    if (conn_ == nullptr) return true;
    const std::string id = std::to_string(1 + run % g_services);
    const char* values[3] = {"0", output.c_str(), id.c_str()};
    PGresult* r = PQexecPrepared(conn_, "UpdateState", 3, values, nullptr, nullptr, 0);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
    return ok;
  }

 private:
  [[noreturn]] static void fail(const char* what) {
    std::fprintf(stderr, "spawn_limit: --store: %s\n", what);
    std::exit(1);
  }
  PGconn* conn_ = nullptr;
};

// One plugin run as a worker does it; false when the plugin could not be run or failed.
bool runOnce(Store& store) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;

  const long run = g_next_id.fetch_add(1, std::memory_order_relaxed);
  const std::string id = std::to_string(run);
  std::vector<std::string> args = g_args;
  for (std::string& a : args)
    if (a == "%ID") a = id;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  char* empty_env[] = {nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &empty_mask);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int err = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), empty_env);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (err != 0) {
    close(fds[0]);
    return false;
  }

  std::string output;
  char buf[1024];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const void* nul = memchr(buf, '\0', static_cast<size_t>(n));
    output.append(buf, nul != nullptr ? static_cast<const char*>(nul) - buf : n);
  }
  int status = 0;
  while (waitpid(pid, &status, WUNTRACED | WCONTINUED) < 0) {
    if (errno != EINTR) break;
  }
  close(fds[0]);
  if (!(WIFEXITED(status) && WEXITSTATUS(status) <= 3 && !output.empty())) return false;
  return store.store(run, output);
}

// Runs `threads` threads until `seconds` have passed; returns the number of runs.
long runFor(int threads, double seconds) {
  const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
  std::atomic<long> runs{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      Store store;
      long mine = 0;
      while (Clock::now() < end) {
        if (!runOnce(store)) g_failures.fetch_add(1, std::memory_order_relaxed);
        ++mine;
      }
      runs.fetch_add(mine);
    });
  for (std::thread& th : pool) th.join();
  return runs.load();
}

double micros(const timeval& tv) { return tv.tv_sec * 1e6 + tv.tv_usec; }

// Busy CPU ticks of the whole machine (all but idle and iowait), from /proc/stat.
long machineBusyTicks() {
  FILE* f = std::fopen("/proc/stat", "r");
  if (f == nullptr) return 0;
  long v[8] = {0};
  if (std::fscanf(f, "cpu %ld %ld %ld %ld %ld %ld %ld %ld", &v[0], &v[1], &v[2], &v[3], &v[4],
                  &v[5], &v[6], &v[7]) != 8) {
    std::fclose(f);
    return 0;
  }
  std::fclose(f);
  return v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 0;
  double seconds = 0;
  double warmup = 0.5;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) usage();
    if (a == "--threads")
      threads = std::atoi(argv[++i]);
    else if (a == "--seconds")
      seconds = std::atof(argv[++i]);
    else if (a == "--warmup")
      warmup = std::atof(argv[++i]);
    else if (a == "--store")
      g_store = argv[++i];
    else if (a == "--services")
      g_services = std::atol(argv[++i]);
    else
      usage();
  }
  for (; i < argc; ++i) g_args.push_back(argv[i]);
  if (threads < 1 || seconds <= 0 || g_args.empty()) usage();
  if (!g_store.empty() && g_services < 1) usage();
  if (access(g_args[0].c_str(), X_OK) != 0) {
    std::fprintf(stderr, "spawn_limit: %s: %s\n", g_args[0].c_str(), strerror(errno));
    return 1;
  }

  if (warmup > 0) runFor(threads, warmup);
  g_failures = 0;
  rusage self0, children0, self1, children1;
  getrusage(RUSAGE_SELF, &self0);
  getrusage(RUSAGE_CHILDREN, &children0);
  const long busy0 = machineBusyTicks();
  const Clock::time_point start = Clock::now();
  const long runs = runFor(threads, seconds);
  const long busy1 = machineBusyTicks();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  getrusage(RUSAGE_SELF, &self1);
  getrusage(RUSAGE_CHILDREN, &children1);

  const double n = runs > 0 ? static_cast<double>(runs) : 1.0;
  std::printf("runs=%ld\n", runs);
  std::printf("seconds=%.3f\n", elapsed);
  std::printf("runs_per_s=%.1f\n", runs / elapsed);
  std::printf("self_user_us_per_run=%.2f\n", (micros(self1.ru_utime) - micros(self0.ru_utime)) / n);
  std::printf("self_sys_us_per_run=%.2f\n", (micros(self1.ru_stime) - micros(self0.ru_stime)) / n);
  std::printf("children_us_per_run=%.2f\n",
              (micros(children1.ru_utime) + micros(children1.ru_stime) -
               micros(children0.ru_utime) - micros(children0.ru_stime)) /
                  n);
  std::printf("machine_busy_us_per_run=%.2f\n",
              static_cast<double>(busy1 - busy0) / sysconf(_SC_CLK_TCK) * 1e6 / n);
  std::printf("failures=%ld\n", g_failures.load());
  return 0;
}
