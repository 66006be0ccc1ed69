// Runs a service's plugin and its alerting program as child processes.
//
// Called by the worker threads of every core at the same time, each on its own service copy;
// no lock is taken here. Children are started with posix_spawn rather than fork: glibc starts
// the child with CLONE_VM | CLONE_VFORK, so the cost does not grow with the daemon's heap (fork
// copies the page tables of the whole process and makes every worker's spawn contend on the
// address space), and a failed exec comes back as posix_spawn's return value, which lets the
// parent write the log line itself. bench/spawn_bench.cpp measures the difference.
//
// Every child starts with an empty signal mask, default SIGTERM and SIGPIPE handling, and only
// descriptors 0, 1 and 2: the pipe is close-on-exec and everything from 3 up is closed, so one
// worker's pipe never leaks into another worker's plugin.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utf8.h>

#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "service/service.h"

extern char** environ;

namespace {

constexpr size_t kReadChunk = 1024;
constexpr uint32_t kUtf8Replacement = 0x20;  // an invalid sequence becomes one space

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

// Reads fd to end of file in chunks of at most kReadChunk bytes; each chunk contributes its bytes
// up to its first NUL. Returns 0, or the error number of a failed read (EINTR is retried).
int readOutput(int fd, std::string* out) {
  char buf[kReadChunk];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    const void* nul = memchr(buf, '\0', static_cast<size_t>(n));
    out->append(buf, nul != nullptr ? static_cast<const char*>(nul) - buf : n);
  }
}

std::string repairUtf8(const std::string& text) {
  if (utf8::is_valid(text.begin(), text.end())) return text;
  std::string repaired;
  repaired.reserve(text.size());
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(repaired), kUtf8Replacement);
  return repaired;
}

}  // namespace

int service::execute() {
  last_stdout.clear();
  const std::string context = service_name + "\npath:" + plugin_path + " " + parameter;

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
  if (spawn_err != 0 && isCreationFailure(spawn_err))
    throw serviceException("Error create fork " + context + strerror(spawn_err));

  std::string output;
  int status = 0;
  if (spawn_err != 0) {
    // The plugin could not be started: as if it had printed nothing and exited with 2.
    const std::string line =
        "DAEMON: plugin is not executable " + std::string(strerror(spawn_err)) + "\n";
    std::cout << line << std::flush;
    status = W_EXITCODE(2, 0);
  } else {
    const int read_err = readOutput(read_end.get(), &output);
    if (read_err != 0) {
      read_end.close();  // a child still writing gets SIGPIPE
      reap(pid);
      throw serviceException("Error read buffer: " + context + strerror(read_err));
    }
    last_stdout = output;
    const int wait_err = waitChild(pid, &status);
    read_end.close();
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

  const std::string repaired = repairUtf8(output);
  state = code;
  if (repaired.empty() || repaired == "''") {
    state = 3;
    throw serviceException("DAEMON: the plugin does not return anything on the stdout");
  }
  last_stdout = repaired;
  return code;
}

void service::executeAlertingSoftware(std::string message) const {
  ArgVector argv;
  argv.push(program_path);
  for (const std::string& entry : alerting_parameter_list)
    argv.push(entry.find("$ERROR") != std::string::npos ? message : entry);

  const std::string failure = "Error execute ALERTE" + program_path + " " + parameter;
  pid_t pid = -1;
  int err = spawnChild(program_path.c_str(), argv.get(), environ, -1, false, &pid);
  if (err != 0) {
    if (isCreationFailure(err)) throw serviceException(failure + strerror(err));
    // The program could not be started: only the daemon log hears of it.
    const std::string line = std::string(strerror(err)) + "\n";
    std::cout << line << std::flush;
    return;
  }

  int status = 0;
  err = waitChild(pid, &status);
  if (err != 0) throw serviceException(failure + strerror(err));
  if (WIFSTOPPED(status) || WIFCONTINUED(status)) killAndReap(pid);
}
