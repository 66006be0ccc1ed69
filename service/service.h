#pragma once
// One monitored check: a plugin applied to a device, with its argument vector, interval,
// alerting program and the run-time state the scheduler needs. A copyable value: every queue,
// map and worker holds its own copy; no pointer to a service crosses threads. Moving one (the
// queues hand services on, the wait queue's heap shifts them) takes its strings and lists
// without copying them; a moved-from service is only destroyed or assigned to.

#include <sys/time.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <string>
#include <vector>

class serviceException : public std::exception {
 public:
  explicit serviceException(std::string message) : message(std::move(message)) {}
  ~serviceException() override = default;
  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};

// One more alerting program of a service (a service may name several, one row of the service
// query each): its path, its split argument line and the states it is started on, as the
// service's own program_path, alerting_parameter_list and response flags are.
struct ServiceResponse {
  std::string program_path;
  std::list<std::string> alerting_parameter_list;
  bool response_ok = false;
  bool response_unknown = false;
  bool response_warning = false;
  bool response_critical = false;

  bool operator==(const ServiceResponse& o) const {
    return program_path == o.program_path && alerting_parameter_list == o.alerting_parameter_list &&
           response_ok == o.response_ok && response_unknown == o.response_unknown &&
           response_warning == o.response_warning && response_critical == o.response_critical;
  }
};

// What one run of a plugin came to, besides its state and output: for the daemon's counters.
// may_start, when set, is asked right before the plugin is started and again right after: a
// plugin it refuses beforehand is not started, one it refuses afterwards (the process was
// stopped in between) is killed at once; either way the run is withheld and execute returns -1.
struct RunInfo {
  std::function<bool()> may_start;
  bool timed_out = false;  // stopped at its time limit
  bool cut = false;        // its output was cut at the cap
  bool withheld = false;   // may_start refused it: no result
};

class service {
 public:
  service();
  service(const service& other);
  service& operator=(const service& other);
  service(service&& other) noexcept;
  service& operator=(service&& other) noexcept;
  virtual ~service();

  void SetService_id(unsigned long long id);     // keeps service_id_str in step
  void Setinterval_exec_time(int milliseconds);  // also sets load_weight = 300000 / ms
  // Stores line, splits it into parameter_list, and keeps the line with its secret options and
  // the given secret texts masked in parameter_shown.
  void Setparameter(std::string line, const std::vector<std::string>& secrets = {});
  void SetAlertingParameter(std::string line);  // appends the fields to alerting_parameter_list

  // Runs the plugin once; sets state and last_stdout and returns the state code, or throws
  // serviceException. A run past timeout_seconds (0: no limit) is stopped and counts as
  // UNKNOWN; without the argument, the limit is plugin_timeout. -1: info's may_start withheld it
  // (state and last_stdout untouched when it was refused before the start).
  int execute(int timeout_seconds, RunInfo* info = nullptr);
  int execute();
  // Starts the alerting program with message in place of every "$ERROR" entry and waits for
  // it, at most timeout_seconds (0: no limit; without the argument, plugin_timeout). Throws
  // serviceException when it cannot be started or waited for.
  void executeAlertingSoftware(std::string message, int timeout_seconds) const;
  void executeAlertingSoftware(std::string message) const;

  // The argument line as the log and stored outputs show it: parameter_shown, or parameter with
  // its secret options masked when the line was not set through Setparameter.
  std::string shownParameter() const;

  bool operator<(const service& other) const;  // by next_exec_time, seconds then microseconds
  bool operator>(const service& other) const;

  int64_t device_id;
  int plugin_id;
  unsigned long long service_id;
  std::string service_id_str;
  int state;
  int previous_state;
  std::string service_name;
  std::string parameter;
  // parameter as the log and stored outputs show it: its secrets masked (maskArgumentLine).
  std::string parameter_shown;
  std::list<std::string> parameter_list;
  std::list<std::string> alerting_parameter_list;
  std::string plugin_path;
  std::string program_path;
  bool response_ok;
  bool response_unknown;
  bool response_warning;
  bool response_critical;
  timeval next_exec_time;  // due time, on the monotonic clock (core/clock.h)
  int interval_exec_time;  // milliseconds
  std::string last_stdout;
  int maintenance_type;  // 0 none, 1 NOEXEC, 2 EXEC, 3 FIRSTERROR
  timeval maintenance_start;
  timeval maintenance_end;  // end of the window plus one second
  int maintenance_id;
  float load_weight;
  // The service's further alerting programs, after the one above; empty for most services.
  std::list<ServiceResponse> more_responses;
  // When several daemons share the identifier: the epoch of the service's bucket when this copy
  // was loaded (a copy of an earlier ownership does not run).
  int64_t cluster_epoch;

 private:
  void internalCopyService(const service& other);
  void internalMoveService(service& other) noexcept;
};

// Why the plugin at path could not be started the way the daemon starts it (the path itself,
// no PATH search): an errno value (ENOENT, EACCES for a directory or a file without execute
// permission for this process, ...), or 0 when it could be.
int pluginStartError(const std::string& path);
