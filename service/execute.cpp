// Runs a service's plugin and its alerting program as child processes.
//
// Called by the worker threads of every core at the same time, each on its own service copy;
// the only lock is the one named at the end of this comment. Children are started with posix_spawn
// rather than fork: glibc starts the child with CLONE_VM | CLONE_VFORK, so the cost does not grow
// with the daemon's heap (fork copies the page tables of the whole process and makes every worker's
// spawn contend on the address space), and a failed exec comes back as posix_spawn's return value,
// which lets the parent write the log line itself. bench/spawn_bench.cpp measures the difference.
//
// Every child starts with an empty signal mask, default SIGTERM and SIGPIPE handling, and only
// descriptors 0, 1 and 2: the pipe is close-on-exec and everything from 3 up is closed, so one
// worker's pipe never leaks into another worker's plugin.
//
// Time limit (plugin_timeout, 0 = none): a plugin always heads a process group of its own, and an
// alerting program does too when a limit is set. A run that passes the limit has its whole group
// stopped (SIGTERM, a grace of kTermGraceMs, SIGKILL) and its child reaped; a plugin's run then
// counts as UNKNOWN without an exception, so the worker does not retry it. Output is kept up to
// kMaxOutput bytes; the rest is read and thrown away so that the plugin is never blocked on a
// full pipe. Locks: mutex_cut_services, only to note the services whose output was cut (the log
// line is written after it is released).

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utf8.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "core/unique_fd.h"
#include "service/service.h"
#include "service/utf8_repair.h"

extern char** environ;

namespace {

constexpr size_t kReadChunk = 1024;
constexpr uint32_t kUtf8Replacement = 0x20;  // an invalid sequence becomes one space
constexpr size_t kDiscardChunk = 16384;      // reads once the kept output is full
constexpr size_t kMaxOutput = 1048576;       // output kept from one run
constexpr int kTermGraceMs = 3000;           // between SIGTERM and SIGKILL of a run out of time
constexpr int kMaxPollSleepMs = 50;          // longest pause between two looks at a running child
constexpr int kLateLookMs = 100;             // a last look at the output once past the deadline

pthread_mutex_t mutex_cut_services = PTHREAD_MUTEX_INITIALIZER;
std::set<unsigned long long> cut_services;  // guarded by mutex_cut_services

// A point on the monotonic clock, or none (no limit).
class Deadline {
 public:
  static Deadline none() { return Deadline(); }
  static Deadline afterMs(int64_t ms) {
    Deadline d;
    d.set_ = true;
    d.end_ms_ = nowMs() + ms;
    return d;
  }
  bool set() const { return set_; }
  // Milliseconds left, rounded up and at most INT_MAX; 0 once passed. Only when set().
  int remainingMs() const {
    const int64_t left = end_ms_ - nowMs();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<int64_t>(left, INT_MAX));
  }

 private:
  Deadline() = default;
  static int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Rounded up, so that a wait of remainingMs() never ends just before the deadline.
    return static_cast<int64_t>(ts.tv_sec) * 1000 + (ts.tv_nsec + 999999) / 1000000;
  }
  bool set_ = false;
  int64_t end_ms_ = 0;
};

Deadline deadlineOf(int timeout_seconds) {
  return timeout_seconds > 0 ? Deadline::afterMs(static_cast<int64_t>(timeout_seconds) * 1000)
                             : Deadline::none();
}

// Owns the argument strings handed to posix_spawn and the null-terminated array over them.
class ArgVector {
 public:
  void push(std::string arg) { args_.push_back(std::move(arg)); }
  char* const* get() {
    ptrs_.clear();
    for (std::string& a : args_) ptrs_.push_back(a.data());
    ptrs_.push_back(nullptr);
    return ptrs_.data();
  }

 private:
  std::vector<std::string> args_;
  std::vector<char*> ptrs_;
};

class SpawnFileActions {
 public:
  SpawnFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnFileActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_;
};

class SpawnAttr {
 public:
  SpawnAttr() { ok_ = posix_spawnattr_init(&attr_) == 0; }
  ~SpawnAttr() {
    if (ok_) posix_spawnattr_destroy(&attr_);
  }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
  bool ok_;
};

// Starts path with argv and envp, without a search. stdout_fd, when not -1, becomes the child's
// descriptor 1; own_group puts the child at the head of a new process group. Returns 0 and sets
// *pid, or the error number of the failed step (posix_spawn reports a failed exec here too).
int spawnChild(const char* path, char* const argv[], char* const envp[], int stdout_fd,
               bool own_group, pid_t* pid) {
  SpawnFileActions actions;
  SpawnAttr attr;
  if (!actions.ok() || !attr.ok()) return ENOMEM;

  int err = 0;
  // dup2 onto 1 clears close-on-exec there; the pipe's own ends go with the closefrom below.
  if (stdout_fd != -1) err = posix_spawn_file_actions_adddup2(actions.get(), stdout_fd, 1);
  if (err == 0) err = posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
  if (err != 0) return err;

  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (own_group) flags |= POSIX_SPAWN_SETPGROUP;
  err = posix_spawnattr_setsigmask(attr.get(), &empty_mask);
  if (err == 0) err = posix_spawnattr_setsigdefault(attr.get(), &defaults);
  if (err == 0 && own_group) err = posix_spawnattr_setpgroup(attr.get(), 0);
  if (err == 0) err = posix_spawnattr_setflags(attr.get(), flags);
  if (err != 0) return err;

  return posix_spawn(pid, path, actions.get(), attr.get(), argv, envp);
}

// A failed posix_spawn is either the failure to create the child (what fork would have
// reported) or the failure of the child's exec. Lack of resources means the former.
bool isCreationFailure(int err) { return err == EAGAIN || err == ENOMEM; }

// Waits for pid with WUNTRACED | WCONTINUED, repeating the call on EINTR. Returns 0 and sets
// *status, or the error number of waitpid.
int waitChild(pid_t pid, int* status) {
  while (waitpid(pid, status, WUNTRACED | WCONTINUED) < 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Reaps pid, however long it runs.
void reap(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Kills and reaps a child whose wait reported it stopped or continued: it counts as a failed
// run, and must neither stay behind stopped nor become a zombie.
void killAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  reap(pid);
}

// Pauses between two looks at a child: 1 ms, then twice as long each time up to
// kMaxPollSleepMs, never past the deadline.
class Backoff {
 public:
  void pause(const Deadline& deadline) {
    sleepMilliseconds(std::min(next_ms_, deadline.remainingMs()));
    next_ms_ = std::min(next_ms_ * 2, kMaxPollSleepMs);
  }

 private:
  int next_ms_ = 1;
};

// Like waitChild, but gives up at the deadline: returns ETIMEDOUT then, the child still running.
int waitChildUntil(pid_t pid, const Deadline& deadline, int* status) {
  if (!deadline.set()) return waitChild(pid, status);
  Backoff backoff;
  for (;;) {
    const pid_t r = waitpid(pid, status, WNOHANG | WUNTRACED | WCONTINUED);
    if (r == pid) return 0;
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (deadline.remainingMs() == 0) return ETIMEDOUT;
    backoff.pause(deadline);
  }
}

// Stops a child that heads its own process group and has run out of time: SIGTERM to the whole
// group (with SIGCONT, so that stopped members act on it), up to kTermGraceMs for the leader to
// end, then SIGKILL to whatever is left of the group (background processes the leader started
// included; ESRCH when it is already empty), and reaps the leader. The leader is reaped only
// after the SIGKILL: until then, as a zombie, it keeps its pid, and with it the group id, from
// being given to another process.
void stopGroup(pid_t pid) {
  killpg(pid, SIGTERM);
  killpg(pid, SIGCONT);
  const Deadline grace = Deadline::afterMs(kTermGraceMs);
  Backoff backoff;
  for (;;) {
    siginfo_t info;
    info.si_pid = 0;
    if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
      if (info.si_pid == pid) break;  // ended, not reaped yet
    } else if (errno != EINTR) {
      break;
    }
    if (grace.remainingMs() == 0) break;
    backoff.pause(grace);
  }
  killpg(pid, SIGKILL);
  reap(pid);
}

// Reads fd to end of file in chunks of at most kReadChunk bytes; each chunk contributes its bytes
// up to its first NUL, as long as out holds less than kMaxOutput bytes. What does not fit is
// read and dropped, and *cut is set. Returns 0 at end of file, ETIMEDOUT when the deadline
// passes first, or the error number of a failed poll or read (EINTR is retried).
int readOutput(int fd, const Deadline& deadline, std::string* out, bool* cut) {
  char buf[kReadChunk];
  std::vector<char> discard;
  Deadline until = deadline;
  bool late_look = false;
  for (;;) {
    if (until.set()) {
      int left = until.remainingMs();
      if (left == 0 && !late_look) {
        // Once past the deadline, the pipe gets one short look more: after the daemon was
        // stopped for a while, a plugin that ended in time has its output waiting there.
        until = Deadline::afterMs(kLateLookMs);
        late_look = true;
        left = until.remainingMs();
      }
      if (left == 0) return ETIMEDOUT;
      pollfd p = {fd, POLLIN, 0};
      const int ready = poll(&p, 1, left);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (ready == 0) return ETIMEDOUT;
    }
    const bool full = out->size() >= kMaxOutput;
    if (full && discard.empty()) discard.resize(kDiscardChunk);
    const ssize_t n = full ? read(fd, discard.data(), discard.size()) : read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    if (full) {
      *cut = true;
      continue;
    }
    const void* nul = memchr(buf, '\0', static_cast<size_t>(n));
    size_t keep = nul != nullptr ? static_cast<const char*>(nul) - buf : static_cast<size_t>(n);
    if (keep > kMaxOutput - out->size()) {
      keep = kMaxOutput - out->size();
      *cut = true;
    }
    out->append(buf, keep);
  }
}

// "NAME (ID)": how the daemon log names a service.
std::string serviceLabel(const service& s) {
  return s.service_name + " (" + std::to_string(s.service_id) + ")";
}

// Logs that a service's output was cut, once per service id for the life of the process.
void reportCutOutput(const service& s) {
  bool first = false;
  {
    ScopedLock lock(&mutex_cut_services);
    first = cut_services.insert(s.service_id).second;
  }
  if (first)
    write_log("ERR", "output of service " + serviceLabel(s) + " cut at " +
                         std::to_string(kMaxOutput) + " bytes");
}

}  // namespace

std::string repairUtf8(const std::string& text) {
  if (utf8::is_valid(text.begin(), text.end())) return text;
  std::string repaired;
  repaired.reserve(text.size());
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(repaired), kUtf8Replacement);
  return repaired;
}

int service::execute() { return execute(plugin_timeout); }

int service::execute(int timeout, RunInfo* info) {
  RunInfo ignored;
  if (info == nullptr) info = &ignored;
  if (info->may_start && !info->may_start()) {
    info->withheld = true;
    return -1;
  }
  last_stdout.clear();
  const std::string context = service_name + "\npath:" + plugin_path + " " + shownParameter();

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    const int err = errno;
    throw serviceException("Error open pipe " + context + strerror(err));
  }
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);

  ArgVector argv;
  argv.push(plugin_path);
  for (const std::string& p : parameter_list) argv.push(p);
  char* empty_env[] = {nullptr};

  pid_t pid = -1;
  const int spawn_err =
      spawnChild(plugin_path.c_str(), argv.get(), empty_env, write_end.get(), true, &pid);
  write_end.close();  // the child holds its own copy; EOF comes when the child closes it
  // Refused now, after it was allowed a moment ago: this process was stopped in between, for
  // long enough that the plugin may no longer be its to run. It goes at once, unheard.
  if (spawn_err == 0 && info->may_start && !info->may_start()) {
    killpg(pid, SIGKILL);
    reap(pid);
    info->withheld = true;
    return -1;
  }
  if (spawn_err != 0 && isCreationFailure(spawn_err))
    throw serviceException("Error create fork " + context + strerror(spawn_err));

  std::string output;
  bool cut = false;
  int status = 0;
  if (spawn_err != 0) {
    // The plugin could not be started: as if it had printed nothing and exited with 2.
    const std::string line = "DAEMON: plugin is not executable " +
                             std::string(strerror(spawn_err)) + ": " + escapeForLog(plugin_path) +
                             " of service " + escapeForLog(serviceLabel(*this)) + "\n";
    write_raw_log(line);
    status = W_EXITCODE(2, 0);
  } else {
    const Deadline deadline = deadlineOf(timeout);
    const int read_err = readOutput(read_end.get(), deadline, &output, &cut);
    if (cut) reportCutOutput(*this);
    info->cut = cut;
    int wait_err = read_err;
    if (read_err == 0) {
      last_stdout = output;
      wait_err = waitChildUntil(pid, deadline, &status);
    }
    read_end.close();  // a child still writing gets SIGPIPE
    if (wait_err == ETIMEDOUT) {
      stopGroup(pid);
      info->timed_out = true;
      state = 3;
      last_stdout = "UNKNOWN: plugin timed out after " + std::to_string(timeout) + " seconds";
      return 3;
    }
    if (read_err != 0) {
      if (deadline.set()) {
        if (waitChildUntil(pid, deadline, &status) == ETIMEDOUT) stopGroup(pid);
      } else {
        reap(pid);
      }
      throw serviceException("Error read buffer: " + context + strerror(read_err));
    }
    if (wait_err != 0) throw serviceException("Error execute " + context + strerror(wait_err));
  }

  if (!WIFEXITED(status)) {
    if (WIFSTOPPED(status) || WIFCONTINUED(status)) killAndReap(pid);
    state = 3;
    last_stdout = "Error: mavo can't execute " + plugin_path;
    throw serviceException("Error: mavo can't execute " + context + output);
  }
  int code = WEXITSTATUS(status);
  if (code == 255) {
    last_stdout = "UNKNOWN: MavoDaemon could not connect to host";
    code = 3;
  } else if (code > 5) {
    last_stdout = "Error execute: Bad return code\n" + context + " " + output;
    code = 3;
  }

  std::string repaired = repairUtf8(output);
  output.clear();
  output.shrink_to_fit();
  state = code;
  if (repaired.empty() || repaired == "''") {
    state = 3;
    throw serviceException("DAEMON: the plugin does not return anything on the stdout");
  }
  last_stdout = std::move(repaired);
  return code;
}

void service::executeAlertingSoftware(std::string message) const {
  executeAlertingSoftware(std::move(message), plugin_timeout);
}

void service::executeAlertingSoftware(std::string message, int timeout) const {
  ArgVector argv;
  argv.push(program_path);
  for (const std::string& entry : alerting_parameter_list)
    argv.push(entry.find("$ERROR") != std::string::npos ? message : entry);

  const std::string failure = "Error execute ALERTE" + program_path + " " + shownParameter();
  pid_t pid = -1;
  // With a time limit the program heads a group of its own, so that it can be stopped whole.
  int err = spawnChild(program_path.c_str(), argv.get(), environ, -1, timeout > 0, &pid);
  if (err != 0) {
    if (isCreationFailure(err)) throw serviceException(failure + strerror(err));
    // The program could not be started: only the daemon log hears of it.
    write_raw_log(std::string(strerror(err)) + ": alerting program " + escapeForLog(program_path) +
                  " of service " + escapeForLog(serviceLabel(*this)) + " not started\n");
    return;
  }

  int status = 0;
  err = waitChildUntil(pid, deadlineOf(timeout), &status);
  if (err == ETIMEDOUT) {
    stopGroup(pid);
    write_log("ERR", "alerting program " + program_path + " stopped after " +
                         std::to_string(timeout) + " seconds (service " + serviceLabel(*this) +
                         ")");
    return;
  }
  if (err != 0) throw serviceException(failure + strerror(err));
  if (WIFSTOPPED(status) || WIFCONTINUED(status)) killAndReap(pid);
}

int pluginStartError(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EACCES;  // execve refuses a directory or a device
  if (access(path.c_str(), X_OK) != 0) return errno;
  return 0;
}
