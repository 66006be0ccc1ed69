// The service record: construction, member-wise copy and move, interval weight, ordering by due
// time and the splitting of the plugin and alerting argument lines. No locks: each copy of a
// service is touched by one thread at a time (the queues holding copies guard them). Plugin and
// alerting runs live in service/execute.cpp.

#include "service/service.h"

#include <utility>

#include "service/command_line.h"

namespace {

// Marker after which a tibo plugin takes the rest of its line as one argument.
const char kTiboPlugin[] = "/check_tibo";
const char kTiboAuthOption[] = " -A ";

// The rest of a tibo line after " -A ": one argument with its leading and trailing single
// quotes removed. A text made only of quotes is kept as it is.
std::string stripSingleQuotes(const std::string& text) {
  const std::string::size_type first = text.find_first_not_of('\'');
  if (first == std::string::npos) return text;
  const std::string::size_type last = text.find_last_not_of('\'');
  return text.substr(first, last - first + 1);
}

void appendAll(std::list<std::string>& to, std::list<std::string> from) {
  to.splice(to.end(), from);
}

}  // namespace

service::service()
    : device_id(0),
      plugin_id(0),
      service_id(0),
      state(0),
      previous_state(0),
      response_ok(false),
      response_unknown(false),
      response_warning(false),
      response_critical(false),
      next_exec_time{0, 0},
      interval_exec_time(0),
      maintenance_type(0),
      maintenance_start{0, 0},
      maintenance_end{0, 0},
      maintenance_id(0),
      load_weight(1.0f),
      cluster_epoch(0) {}

service::service(const service& other) : service() { internalCopyService(other); }

service& service::operator=(const service& other) {
  if (this != &other) internalCopyService(other);
  return *this;
}

service::service(service&& other) noexcept : service() { internalMoveService(other); }

service& service::operator=(service&& other) noexcept {
  if (this != &other) internalMoveService(other);
  return *this;
}

service::~service() = default;

void service::internalCopyService(const service& other) {
  device_id = other.device_id;
  plugin_id = other.plugin_id;
  service_id = other.service_id;
  service_id_str = other.service_id_str;
  state = other.state;
  previous_state = other.previous_state;
  service_name = other.service_name;
  parameter = other.parameter;
  parameter_shown = other.parameter_shown;
  parameter_list = other.parameter_list;
  alerting_parameter_list = other.alerting_parameter_list;
  plugin_path = other.plugin_path;
  program_path = other.program_path;
  response_ok = other.response_ok;
  response_unknown = other.response_unknown;
  response_warning = other.response_warning;
  response_critical = other.response_critical;
  next_exec_time = other.next_exec_time;
  interval_exec_time = other.interval_exec_time;
  last_stdout = other.last_stdout;
  maintenance_type = other.maintenance_type;
  maintenance_start = other.maintenance_start;
  maintenance_end = other.maintenance_end;
  maintenance_id = other.maintenance_id;
  load_weight = other.load_weight;
  more_responses = other.more_responses;
  cluster_epoch = other.cluster_epoch;
}

// Every field, as internalCopyService copies them; the strings and lists are moved.
void service::internalMoveService(service& other) noexcept {
  device_id = other.device_id;
  plugin_id = other.plugin_id;
  service_id = other.service_id;
  service_id_str = std::move(other.service_id_str);
  state = other.state;
  previous_state = other.previous_state;
  service_name = std::move(other.service_name);
  parameter = std::move(other.parameter);
  parameter_shown = std::move(other.parameter_shown);
  parameter_list = std::move(other.parameter_list);
  alerting_parameter_list = std::move(other.alerting_parameter_list);
  plugin_path = std::move(other.plugin_path);
  program_path = std::move(other.program_path);
  response_ok = other.response_ok;
  response_unknown = other.response_unknown;
  response_warning = other.response_warning;
  response_critical = other.response_critical;
  next_exec_time = other.next_exec_time;
  interval_exec_time = other.interval_exec_time;
  last_stdout = std::move(other.last_stdout);
  maintenance_type = other.maintenance_type;
  maintenance_start = other.maintenance_start;
  maintenance_end = other.maintenance_end;
  maintenance_id = other.maintenance_id;
  load_weight = other.load_weight;
  more_responses = std::move(other.more_responses);
  cluster_epoch = other.cluster_epoch;
}

void service::SetService_id(unsigned long long id) {
  service_id = id;
  service_id_str = std::to_string(id);
}

void service::Setinterval_exec_time(int milliseconds) {
  interval_exec_time = milliseconds;
  // Runs in five minutes, counted in whole runs. A non-positive interval has no weight; the
  // loaders refuse such rows before they get here.
  load_weight = milliseconds > 0 ? static_cast<float>(300000 / milliseconds) : 0.0f;
}

void service::Setparameter(std::string line, const std::vector<std::string>& secrets) {
  parameter_shown = maskArgumentLine(line, secrets);
  parameter = line;
  parameter_list.clear();
  const std::string::size_type marker = plugin_path.find(kTiboPlugin) != std::string::npos
                                            ? line.find(kTiboAuthOption)
                                            : std::string::npos;
  if (marker == std::string::npos) {
    appendAll(parameter_list, splitArguments(line));
    return;
  }
  // The tibo plugin parses its authentication argument itself: everything after " -A " is
  // handed over as one argument, even when empty.
  appendAll(parameter_list, splitArguments(line.substr(0, marker)));
  parameter_list.push_back("-A");
  parameter_list.push_back(stripSingleQuotes(line.substr(marker + sizeof(kTiboAuthOption) - 1)));
}

std::string service::shownParameter() const {
  if (!parameter_shown.empty() || parameter.empty()) return parameter_shown;
  return maskArgumentLine(parameter);
}

void service::SetAlertingParameter(std::string line) {
  appendAll(alerting_parameter_list, splitArguments(line));
}

bool service::operator<(const service& other) const {
  if (next_exec_time.tv_sec != other.next_exec_time.tv_sec)
    return next_exec_time.tv_sec < other.next_exec_time.tv_sec;
  return next_exec_time.tv_usec < other.next_exec_time.tv_usec;
}

bool service::operator>(const service& other) const { return other < *this; }
