// Runs the daemon binary for end-to-end tests: writes its configuration, starts it with its
// standard output in dir/stdout.txt, waits for log lines, stops it with SIGTERM.

#include "tests/support/daemon_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

extern char** environ;

#include "tests/support/pg_test.h"
#include "tests/support/temp_dir.h"

std::string daemonConfigText(const DaemonConfig& c, const std::string& dir) {
  std::string password = c.password.empty() ? conninfoValue("password") : c.password;
  std::string text = "[LOG]\nlog_info_file=" + dir + "/status.txt\nlog_daemon_file=" + dir +
                     "/daemon.log\n\n[MAVO]\ndaemon_id=" + c.daemon_id +
                     "\ncore_number=" + std::to_string(c.cores) +
                     "\nthread_number=" + std::to_string(c.threads) +
                     "\nload_mod=" + std::to_string(c.load_mod) +
                     "\ninterval_check_update=" + std::to_string(c.interval_check_update) +
                     "\nverify_state_change=" + std::to_string(c.verify_state_change) +
                     "\nwait_state_verify=" + std::to_string(c.wait_state_verify) + "\n";
  for (const auto& line : c.extra_mavo) text += line + "\n";
  text += "\n[POSTGRESQL]\nconnection_number=" + std::to_string(c.connections) +
          "\nPGSQL_host=" + (c.host.empty() ? conninfoValue("host") : c.host) +
          "\nPGSQL_port=" + (c.port.empty() ? conninfoValue("port") : c.port) +
          "\nPGSQL_db=" + c.dbname + "\nPGSQL_username=" + conninfoValue("user") +
          "\nPGSQL_pwd=" + password + "\n";
  for (const auto& line : c.extra_postgresql) text += line + "\n";
  return text;
}

DaemonProcess::DaemonProcess(const DaemonConfig& config, const std::string& dir,
                             const std::vector<std::string>& extra_args)
    : dir_(dir) {
  {
    std::ofstream out(dir + "/mavo.conf", std::ios::trunc);
    out << daemonConfigText(config, dir);
  }
  std::vector<std::string> args = {"-f", dir + "/mavo.conf"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  start(args, config.env);
}

DaemonProcess::DaemonProcess(const std::vector<std::string>& args, const std::string& dir)
    : dir_(dir) {
  start(args);
}

void DaemonProcess::start(const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
  std::vector<std::string> all = {MAVO_DAEMON_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The test's environment with env's entries in place of those of the same names, built
  // before the fork (the child only calls what is safe after it).
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& x : env) replaced = replaced || x.compare(0, name.size(), name) == 0;
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  std::string out = stdoutPath();
  pid_ = fork();
  if (pid_ == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    // Run in its own process group so that a test can find every process it left behind.
    setpgid(0, 0);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0 && status_ == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string DaemonProcess::log() const { return readFile(logPath()); }

bool DaemonProcess::running() {
  if (status_ != -1) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

bool DaemonProcess::waitForLog(const std::string& text, int timeout_ms) const {
  auto* self = const_cast<DaemonProcess*>(this);
  return waitFor([&] { return log().find(text) != std::string::npos || !self->running(); },
                 timeout_ms) &&
         log().find(text) != std::string::npos;
}

int DaemonProcess::wait(int timeout_ms) {
  if (waitFor([&] { return !running(); }, timeout_ms)) return status_;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  status_ = 128 + SIGKILL;
  return -1;
}

int DaemonProcess::stop(int timeout_ms) {
  if (running()) kill(pid_, SIGTERM);
  return wait(timeout_ms);
}
