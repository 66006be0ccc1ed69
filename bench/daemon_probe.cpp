// Runs mavoDaemon once for bench/run.sh and measures it from the outside, without touching it:
//
//   daemon_probe --daemon BIN --config CONF --log LOG --status STATUS --out FILE
//                [--warmup S] [--window S] [--timeout S] [--pg-pid PID]
//
// 1. Starts BIN -f CONF (standard output and error to FILE) and follows LOG with inotify, noting
//    when each start-up line first appears (monotonic clock, microseconds).
// 2. WARMUP seconds after "MAVO was starting....", takes the first sample of the daemon's CPU
//    (clock_getcpuclockid: every thread, children excluded; /proc/PID/stat utime and stime for
//    the split) and of its resident memory (/proc/PID/status VmRSS), of the CPU of the plugins
//    it has reaped (cutime + cstime), of the database cluster (--pg-pid: the postmaster and its
//    children) and of the whole machine (/proc/stat); WINDOW seconds later the second one. In
//    between it reads the status file every 250 ms.
// 3. Sends SIGTERM and notes when the process has exited (pidfd).
//
// Prints key=value lines; times are seconds, window_start_rt and window_end_rt are wall-clock
// seconds since the epoch (the clock the daemon schedules by).

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Options {
  std::string daemon, config, log, status, out;
  double warmup = 2;
  double window = 10;
  double timeout = 300;
  long pg_pid = 0;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "daemon_probe: %s\n", what.c_str());
  std::exit(1);
}

double monotonic() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

double wallClock() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i += 2) {
    const std::string k = argv[i];
    if (i + 1 >= argc) fail("missing value for " + k);
    const std::string v = argv[i + 1];
    if (k == "--daemon")
      o.daemon = v;
    else if (k == "--config")
      o.config = v;
    else if (k == "--log")
      o.log = v;
    else if (k == "--status")
      o.status = v;
    else if (k == "--out")
      o.out = v;
    else if (k == "--warmup")
      o.warmup = std::atof(v.c_str());
    else if (k == "--window")
      o.window = std::atof(v.c_str());
    else if (k == "--timeout")
      o.timeout = std::atof(v.c_str());
    else if (k == "--pg-pid")
      o.pg_pid = std::atol(v.c_str());
    else
      fail("unknown option " + k);
  }
  if (o.daemon.empty() || o.config.empty() || o.log.empty() || o.out.empty())
    fail(
        "usage: daemon_probe --daemon BIN --config CONF --log LOG --status STATUS --out FILE "
        "[--warmup S] [--window S] [--timeout S]");
  return o;
}

// Follows the daemon log as it grows and notes the first time each marker line is seen.
class LogFollower {
 public:
  LogFollower(const std::string& path, std::vector<std::string> markers)
      : path_(path), markers_(std::move(markers)) {
    const std::string::size_type slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) fail(std::string("inotify_init1: ") + strerror(errno));
    // The directory only for the log's creation (other files there may change often), then
    // the log itself.
    if (inotify_add_watch(fd_, dir.c_str(), IN_CREATE) < 0)
      fail("inotify_add_watch " + dir + ": " + strerror(errno));
  }
  ~LogFollower() {
    if (file_ >= 0) close(file_);
    close(fd_);
  }

  // Waits up to timeout seconds for log activity, then reads what is new.
  void poll(double timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout * 1000)) > 0) {
      const double now = monotonic();
      char buf[4096];
      while (read(fd_, buf, sizeof buf) > 0) {
      }
      readNew(now);
    }
  }

  bool seen(const std::string& marker) const { return first_.count(marker) != 0; }
  double when(const std::string& marker) const {
    auto it = first_.find(marker);
    return it == first_.end() ? -1 : it->second;
  }

 private:
  void readNew(double now) {
    if (file_ < 0) {
      file_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
      if (file_ < 0) return;
      if (inotify_add_watch(fd_, path_.c_str(), IN_MODIFY) < 0)
        fail("inotify_add_watch " + path_ + ": " + strerror(errno));
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(file_, buf, sizeof buf)) > 0) {
      partial_.append(buf, static_cast<size_t>(n));
      std::string::size_type nl;
      while ((nl = partial_.find('\n')) != std::string::npos) {
        const std::string line = partial_.substr(0, nl);
        partial_.erase(0, nl + 1);
        for (const std::string& m : markers_) {
          if (first_.count(m) == 0 && line.size() >= m.size() &&
              line.compare(line.size() - m.size(), m.size(), m) == 0)
            first_[m] = now;
        }
      }
    }
  }

  std::string path_;
  std::vector<std::string> markers_;
  int fd_ = -1;
  int file_ = -1;
  std::string partial_;
  std::map<std::string, double> first_;
};

struct Sample {
  double wall = 0;
  double cpu = 0;  // seconds, every thread, children excluded
  long utime_ticks = 0;
  long stime_ticks = 0;
  long children_ticks = 0;  // the plugins the daemon has reaped (cutime + cstime)
  long pg_ticks = 0;        // every process of the database cluster
  long machine_busy_ticks = 0;
  long machine_total_ticks = 0;
  long rss_kb = 0;
  long hwm_kb = 0;
};

// The whole of a /proc file, or "" when it cannot be read. A process may end between the open
// and the read (ESRCH), which std::ifstream reports by throwing: plain read() instead.
std::string slurp(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

long statusField(pid_t pid, const char* key) {
  std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  const size_t len = strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, len, key) == 0) return std::atol(line.c_str() + len);
  }
  return -1;
}

// Fields 1 to 17 of /proc/PID/stat (index = field number); empty when the process is gone.
std::vector<long> statFields(const std::string& pid) {
  const std::string text = slurp("/proc/" + pid + "/stat");
  std::vector<long> v;
  // Fields after the command name, which is in parentheses and may hold blanks.
  const std::string::size_type close = text.rfind(')');
  if (close == std::string::npos) return v;
  v.assign(18, 0);
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  for (int i = 3; i <= 17 && fields >> f; ++i) v[i] = std::atol(f.c_str());
  return v;
}

// CPU ticks of pid and of every process whose parent it is.
long treeTicks(long pid) {
  long ticks = 0;
  DIR* d = opendir("/proc");
  if (d == nullptr) return 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    const std::vector<long> v = statFields(e->d_name);
    if (v.empty()) continue;
    if (std::atol(e->d_name) == pid || v[4] == pid) ticks += v[14] + v[15];
  }
  closedir(d);
  return ticks;
}

Sample sample(pid_t pid, clockid_t clock, long pg_pid) {
  Sample s;
  s.wall = wallClock();
  timespec t;
  if (clock_gettime(clock, &t) == 0) s.cpu = t.tv_sec + t.tv_nsec / 1e9;
  const std::vector<long> v = statFields(std::to_string(pid));
  if (!v.empty()) {
    s.utime_ticks = v[14];
    s.stime_ticks = v[15];
    s.children_ticks = v[16] + v[17];
  }
  if (pg_pid > 0) s.pg_ticks = treeTicks(pg_pid);
  std::istringstream stat(slurp("/proc/stat"));
  std::string cpu;
  stat >> cpu;
  long value;
  for (int i = 0; i < 8 && stat >> value; ++i) {
    s.machine_total_ticks += value;
    if (i != 3 && i != 4) s.machine_busy_ticks += value;  // all but idle and iowait
  }
  s.rss_kb = statusField(pid, "VmRSS:");
  s.hwm_kb = statusField(pid, "VmHWM:");
  return s;
}

// Status file rows: "|    0 |         OK |  12 |  5 |   2 /   4 |   0 |  OK |   37 |".
struct StatusStats {
  long samples = 0;     // core rows read
  long empty_exec = 0;  // rows with no due service waiting
  double busy_sum = 0;  // busy / live workers, summed over rows
  long due_max = 0;
  void read(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() < 2 || line[0] != '|' || line.find("CORE") != std::string::npos) continue;
      std::vector<std::string> cells;
      std::stringstream ss(line.substr(1));
      std::string cell;
      while (std::getline(ss, cell, '|')) cells.push_back(cell);
      if (cells.size() < 8) continue;
      long busy = 0, threads = 0;
      if (std::sscanf(cells[4].c_str(), " %ld / %ld", &busy, &threads) != 2) continue;
      const long due = std::atol(cells[5].c_str());
      ++samples;
      if (due == 0) ++empty_exec;
      if (due > due_max) due_max = due;
      if (threads > 0) busy_sum += static_cast<double>(busy) / threads;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  unlink(o.log.c_str());
  LogFollower log(
      o.log, {"#MAVO start....", "#Mutex INIT", "#INSTANCE CORE - create queue", "#LOAD SERVICE",
              "#LOAD SERVICE SUCCESS", "#MAVO was starting....", "#MAVO is stopping...."});

  const double t0 = monotonic();
  const pid_t probe = getpid();
  const pid_t pid = fork();
  if (pid < 0) fail(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    const int fd = open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    setpgid(0, 0);
    // A probe that ends early (killed, or a crash) must not leave a daemon running plugins into
    // the next run's files.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != probe) _exit(127);
    execl(o.daemon.c_str(), o.daemon.c_str(), "-f", o.config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) fail(std::string("pidfd_open: ") + strerror(errno));
  auto exited = [pidfd](double timeout) {
    pollfd p{pidfd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout * 1000)) > 0;
  };
  auto dieWith = [&](const std::string& what) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    fail(what + " (daemon output in " + o.out + ")");
  };

  while (!log.seen("#MAVO was starting....")) {
    if (monotonic() - t0 > o.timeout) dieWith("the daemon did not start in time");
    if (exited(0)) dieWith("the daemon ended during start-up");
    log.poll(0.05);
  }
  const double started = log.when("#MAVO was starting....");

  clockid_t cpu_clock;
  if (clock_getcpuclockid(pid, &cpu_clock) != 0) dieWith("clock_getcpuclockid failed");

  // Warm-up, then the measured window.
  while (monotonic() < started + o.warmup) {
    if (exited(0)) dieWith("the daemon ended");
    log.poll(0.05);
  }
  const Sample a = sample(pid, cpu_clock, o.pg_pid);
  StatusStats status;
  const double window_end = monotonic() + o.window;
  double next_status = monotonic() + 0.25;
  while (monotonic() < window_end) {
    if (exited(0)) dieWith("the daemon ended");
    log.poll(std::min(0.25, std::max(0.0, window_end - monotonic())));
    if (!o.status.empty() && monotonic() >= next_status && monotonic() < window_end) {
      status.read(o.status);
      next_status += 0.25;
    }
  }
  const Sample b = sample(pid, cpu_clock, o.pg_pid);

  const double term = monotonic();
  kill(pid, SIGTERM);
  if (!exited(120)) dieWith("the daemon did not stop within 120 s of SIGTERM");
  const double gone = monotonic();
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  log.poll(0);

  const long tck = sysconf(_SC_CLK_TCK);
  const double span = b.wall - a.wall;
  std::printf("exit_status=%d\n",
              WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus));
  std::printf("startup_s=%.4f\n", started - t0);
  const double sleep_from = log.when("#Mutex INIT");
  const double sleep_to = log.when("#INSTANCE CORE - create queue");
  std::printf("startup_sleep_s=%.4f\n",
              sleep_from >= 0 && sleep_to >= 0 ? sleep_to - sleep_from : -1);
  const double load_from = log.when("#LOAD SERVICE");
  const double load_to = log.when("#LOAD SERVICE SUCCESS");
  std::printf("load_s=%.4f\n", load_from >= 0 && load_to >= 0 ? load_to - load_from : -1);
  std::printf("window_start_rt=%.6f\n", a.wall);
  std::printf("window_end_rt=%.6f\n", b.wall);
  std::printf("window_s=%.4f\n", span);
  std::printf("cpu_s=%.6f\n", b.cpu - a.cpu);
  std::printf("cpu_user_s=%.2f\n", static_cast<double>(b.utime_ticks - a.utime_ticks) / tck);
  std::printf("cpu_sys_s=%.2f\n", static_cast<double>(b.stime_ticks - a.stime_ticks) / tck);
  std::printf("cpu_core_fraction=%.6f\n", span > 0 ? (b.cpu - a.cpu) / span : 0);
  std::printf("plugins_cpu_s=%.2f\n",
              static_cast<double>(b.children_ticks - a.children_ticks) / tck);
  std::printf("pg_cpu_s=%.2f\n", static_cast<double>(b.pg_ticks - a.pg_ticks) / tck);
  std::printf("machine_busy_s=%.2f\n",
              static_cast<double>(b.machine_busy_ticks - a.machine_busy_ticks) / tck);
  std::printf("machine_cpus=%.2f\n",
              span > 0
                  ? static_cast<double>(b.machine_total_ticks - a.machine_total_ticks) / tck / span
                  : 0);
  std::printf("rss_start_kb=%ld\n", a.rss_kb);
  std::printf("rss_end_kb=%ld\n", b.rss_kb);
  std::printf("hwm_kb=%ld\n", b.hwm_kb);
  std::printf("status_rows=%ld\n", status.samples);
  std::printf("status_empty_exec_fraction=%.4f\n",
              status.samples > 0 ? static_cast<double>(status.empty_exec) / status.samples : -1);
  std::printf("status_busy_fraction=%.4f\n",
              status.samples > 0 ? status.busy_sum / status.samples : -1);
  std::printf("status_due_max=%ld\n", status.due_max);
  std::printf("shutdown_s=%.4f\n", gone - term);
  return 0;
}
