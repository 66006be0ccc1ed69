// The service record: defaults, id text, load weight, copies, ordering and argument splitting.

#include "service/service.h"

#include <gtest/gtest.h>

#include <climits>
#include <list>
#include <string>
#include <type_traits>
#include <utility>

#include "service/command_line.h"

namespace {

using Args = std::list<std::string>;

service dueAt(time_t sec, suseconds_t usec) {
  service s;
  s.next_exec_time.tv_sec = sec;
  s.next_exec_time.tv_usec = usec;
  return s;
}

TEST(Service, DefaultBuiltServiceIsIdleAndWeighsOne) {
  service s;
  EXPECT_TRUE(s.service_id_str.empty());
  EXPECT_EQ(s.state, 0);
  EXPECT_EQ(s.previous_state, 0);
  EXPECT_FALSE(s.response_ok || s.response_unknown || s.response_warning || s.response_critical);
  EXPECT_FLOAT_EQ(s.load_weight, 1.0f);
  EXPECT_EQ(s.maintenance_type, 0);
  EXPECT_EQ(s.maintenance_id, 0);
  EXPECT_TRUE(s.parameter_list.empty());
  EXPECT_TRUE(s.alerting_parameter_list.empty());
}

TEST(Service, IdTextFollowsTheIdOverTheWholeRange) {
  service s;
  s.SetService_id(ULLONG_MAX);
  EXPECT_EQ(s.service_id, ULLONG_MAX);
  EXPECT_EQ(s.service_id_str, "18446744073709551615");
  s.SetService_id(0);
  EXPECT_EQ(s.service_id_str, "0");
}

TEST(Service, LoadWeightIsWholeRunsInFiveMinutes) {
  const struct {
    int ms;
    float weight;
  } cases[] = {{60000, 5},  {300000, 1}, {70000, 4}, {7000, 42}, {400000, 0},
               {150000, 2}, {1, 300000}, {0, 0},     {-5000, 0}};
  for (const auto& c : cases) {
    service s;
    s.Setinterval_exec_time(c.ms);
    EXPECT_EQ(s.interval_exec_time, c.ms);
    EXPECT_FLOAT_EQ(s.load_weight, c.weight) << c.ms << " ms";
  }
}

TEST(Service, CopiesAreIndependent) {
  service src;
  src.SetService_id(42);
  src.plugin_path = "/bin/true";
  src.Setparameter("-H host -w 5");
  src.SetAlertingParameter("$ERROR mail");
  src.Setinterval_exec_time(60000);

  service copy(src);
  copy.parameter_list.clear();
  copy.alerting_parameter_list.push_back("extra");
  copy.SetService_id(7);
  EXPECT_EQ(src.parameter_list, (Args{"-H", "host", "-w", "5"}));
  EXPECT_EQ(src.alerting_parameter_list, (Args{"$ERROR", "mail"}));
  EXPECT_EQ(src.service_id_str, "42");

  service assigned;
  assigned = src;
  assigned.parameter_list.pop_front();
  EXPECT_EQ(src.parameter_list.size(), 4u);
  EXPECT_EQ(assigned.service_id_str, "42");
  EXPECT_FLOAT_EQ(assigned.load_weight, 5.0f);
  EXPECT_EQ(assigned.parameter, "-H host -w 5");
}

// Every field set to a value of its own, so that a field the move leaves behind shows.
service fullService() {
  service s;
  s.device_id = 11;
  s.plugin_id = 12;
  s.SetService_id(13);
  s.state = 2;
  s.previous_state = 1;
  s.service_name = "a service name long enough to live on the heap";
  s.plugin_path = "/usr/lib/nagios/plugins/check_dummy";
  s.Setparameter("-H host -w 5 'two words'");
  s.SetAlertingParameter("$ERROR mail");
  s.program_path = "/usr/local/bin/alert";
  s.response_ok = s.response_unknown = s.response_warning = s.response_critical = true;
  s.next_exec_time = timeval{100, 200};
  s.Setinterval_exec_time(60000);
  s.last_stdout = "OK: the last output of the plugin, long enough to live on the heap";
  s.maintenance_type = 3;
  s.maintenance_start = timeval{300, 400};
  s.maintenance_end = timeval{500, 600};
  s.maintenance_id = 14;
  return s;
}

void expectSameFields(const service& a, const service& b) {
  EXPECT_EQ(a.device_id, b.device_id);
  EXPECT_EQ(a.plugin_id, b.plugin_id);
  EXPECT_EQ(a.service_id, b.service_id);
  EXPECT_EQ(a.service_id_str, b.service_id_str);
  EXPECT_EQ(a.state, b.state);
  EXPECT_EQ(a.previous_state, b.previous_state);
  EXPECT_EQ(a.service_name, b.service_name);
  EXPECT_EQ(a.parameter, b.parameter);
  EXPECT_EQ(a.parameter_list, b.parameter_list);
  EXPECT_EQ(a.alerting_parameter_list, b.alerting_parameter_list);
  EXPECT_EQ(a.plugin_path, b.plugin_path);
  EXPECT_EQ(a.program_path, b.program_path);
  EXPECT_EQ(a.response_ok, b.response_ok);
  EXPECT_EQ(a.response_unknown, b.response_unknown);
  EXPECT_EQ(a.response_warning, b.response_warning);
  EXPECT_EQ(a.response_critical, b.response_critical);
  EXPECT_EQ(a.next_exec_time.tv_sec, b.next_exec_time.tv_sec);
  EXPECT_EQ(a.next_exec_time.tv_usec, b.next_exec_time.tv_usec);
  EXPECT_EQ(a.interval_exec_time, b.interval_exec_time);
  EXPECT_EQ(a.last_stdout, b.last_stdout);
  EXPECT_EQ(a.maintenance_type, b.maintenance_type);
  EXPECT_EQ(a.maintenance_start.tv_sec, b.maintenance_start.tv_sec);
  EXPECT_EQ(a.maintenance_start.tv_usec, b.maintenance_start.tv_usec);
  EXPECT_EQ(a.maintenance_end.tv_sec, b.maintenance_end.tv_sec);
  EXPECT_EQ(a.maintenance_end.tv_usec, b.maintenance_end.tv_usec);
  EXPECT_EQ(a.maintenance_id, b.maintenance_id);
  EXPECT_FLOAT_EQ(a.load_weight, b.load_weight);
}

// The queues and the heap move services; a vector relocates them by move only when the move
// cannot throw.
TEST(Service, MovesCarryEveryFieldAndCannotThrow) {
  EXPECT_TRUE(std::is_nothrow_move_constructible<service>::value);
  EXPECT_TRUE(std::is_nothrow_move_assignable<service>::value);
  const service expected = fullService();

  service source = fullService();
  service constructed(std::move(source));
  expectSameFields(constructed, expected);

  service assigned;
  assigned.Setparameter("x y z");
  assigned.last_stdout = "old";
  assigned = std::move(constructed);
  expectSameFields(assigned, expected);

  // A moved-from service can be assigned to and used again.
  constructed = expected;
  expectSameFields(constructed, expected);
}

TEST(Service, SelfAssignmentKeepsEveryField) {
  service s;
  s.SetService_id(9);
  s.Setparameter("a b");
  service& same = s;
  s = same;
  EXPECT_EQ(s.service_id_str, "9");
  EXPECT_EQ(s.parameter_list, (Args{"a", "b"}));
}

TEST(Service, OrdersBySecondsThenMicroseconds) {
  EXPECT_TRUE(dueAt(10, 999999) < dueAt(11, 0));
  EXPECT_TRUE(dueAt(11, 0) > dueAt(10, 999999));
  EXPECT_TRUE(dueAt(10, 1) < dueAt(10, 2));
  EXPECT_TRUE(dueAt(10, 2) > dueAt(10, 1));
  EXPECT_FALSE(dueAt(10, 5) < dueAt(10, 5));
  EXPECT_FALSE(dueAt(10, 5) > dueAt(10, 5));
}

TEST(SplitArguments, FollowsTheTokenizerRules) {
  const struct {
    const char* line;
    Args args;
  } cases[] = {
      {"a  'b c'  \"d\"", {"a", "b c", "d"}},
      {"''", {}},
      {"", {}},
      {"   ", {}},
      {" lead trail ", {"lead", "trail"}},
      {"C:\\dir \\n", {"C:\\dir", "\\n"}},  // no escape character
      {"'it\"s' x", {"its x"}},             // either quote toggles quoting
      {"-o'a b'c", {"-oa bc"}},             // quotes inside a field
      {"-C 'public' -w 5", {"-C", "public", "-w", "5"}},
  };
  for (const auto& c : cases) EXPECT_EQ(splitArguments(c.line), c.args) << c.line;
}

TEST(Service, SetparameterReplacesTheArgumentsAndKeepsTheLine) {
  service s;
  s.plugin_path = "/usr/lib/nagios/plugins/check_dummy";
  s.Setparameter("0 first");
  s.Setparameter("1  'second one'");
  EXPECT_EQ(s.parameter, "1  'second one'");
  EXPECT_EQ(s.parameter_list, (Args{"1", "second one"}));
}

TEST(Service, TiboPluginTakesTheRestAfterAuthOptionAsOneArgument) {
  const struct {
    const char* line;
    Args args;
  } cases[] = {
      {"-H h -A ", {"-H", "h", "-A", ""}},
      {"-H h -A 'secret'", {"-H", "h", "-A", "secret"}},
      {"-H h -A ''", {"-H", "h", "-A", "''"}},
      {"-H h -A '''", {"-H", "h", "-A", "'''"}},
      {"-H h -A 'a b' c'", {"-H", "h", "-A", "a b' c"}},
      {"-v 3 -A 'key' -L SHA,AES ", {"-v", "3", "-A", "key' -L SHA,AES "}},
      {"-H h -A x -A y", {"-H", "h", "-A", "x -A y"}},  // only the first marker splits
      {"-H h 'x y' -A z", {"-H", "h", "x y", "-A", "z"}},
      {"-H h -A", {"-H", "h", "-A"}},  // no " -A ": split like any line
      {"-H 'a b' -w 5", {"-H", "a b", "-w", "5"}},
  };
  for (const auto& c : cases) {
    service s;
    s.plugin_path = "/opt/plugins/check_tibo_status";
    s.Setparameter(c.line);
    EXPECT_EQ(s.parameter_list, c.args) << c.line;
    EXPECT_EQ(s.parameter, c.line);
  }
}

TEST(Service, OtherPluginsSplitAuthOptionLikeAnyField) {
  service s;
  s.plugin_path = "/usr/lib/nagios/plugins/check_snmp";
  s.Setparameter("-H h -A 'a b' c");
  EXPECT_EQ(s.parameter_list, (Args{"-H", "h", "-A", "a b", "c"}));
}

TEST(Service, AlertingParameterAppendsWithoutMacroSubstitution) {
  service s;
  s.SetAlertingParameter("-s '$ERROR' to");
  s.SetAlertingParameter("more");
  EXPECT_EQ(s.alerting_parameter_list, (Args{"-s", "$ERROR", "to", "more"}));
  EXPECT_TRUE(s.parameter.empty());
}

}  // namespace
