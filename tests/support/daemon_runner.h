#pragma once
// Runs the mavoDaemon binary as a child process with a generated configuration file, for
// end-to-end tests.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct DaemonConfig {
  std::string dbname;
  int cores = 1;
  int threads = 2;
  int connections = 2;
  int load_mod = 1;
  int interval_check_update = 1;
  int verify_state_change = 0;
  int wait_state_verify = 60;
  std::string daemon_id = "0";
  std::string password;  // empty: the cluster's password
  std::string host;      // empty: the cluster's
  std::string port;      // empty: the cluster's
  // Extra "key=value" lines appended to sections MAVO and POSTGRESQL.
  std::vector<std::string> extra_mavo;
  std::vector<std::string> extra_postgresql;
  // "NAME=value" entries added to the daemon's environment.
  std::vector<std::string> env;
};

// Text of a configuration file for the test cluster (log paths inside dir).
std::string daemonConfigText(const DaemonConfig& c, const std::string& dir);

class DaemonProcess {
 public:
  // Writes dir/mavo.conf from config and starts the daemon with -f and extra arguments.
  DaemonProcess(const DaemonConfig& config, const std::string& dir,
                const std::vector<std::string>& extra_args = {});
  // Starts the daemon with exactly these arguments (no configuration written).
  DaemonProcess(const std::vector<std::string>& args, const std::string& dir);
  ~DaemonProcess();  // SIGKILLs a daemon still running
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::string logPath() const { return dir_ + "/daemon.log"; }
  std::string statusPath() const { return dir_ + "/status.txt"; }
  std::string stdoutPath() const { return dir_ + "/stdout.txt"; }
  std::string log() const;
  // Waits until the daemon log contains text; false on timeout or when the daemon exited.
  bool waitForLog(const std::string& text, int timeout_ms) const;
  // Sends SIGTERM and waits up to timeout_ms; returns the exit status, -1 on timeout (the
  // daemon is then killed), 128+n when killed by signal n.
  int stop(int timeout_ms = 20000);
  // Waits for the daemon to exit on its own; same results as stop.
  int wait(int timeout_ms);
  bool running();

 private:
  void start(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  std::string dir_;
  pid_t pid_ = -1;
  int status_ = -1;
};
