// Service loading against the real database: building, core choice, first due times, bad rows.

#include "loader/loader.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <iostream>
#include <iterator>
#include <map>
#include <sstream>

#include "core/clock.h"
#include "core/settings.h"
#include "db/statements.h"
#include "sched/info_thread.h"
#include "sched/update_service_map.h"
#include "tests/support/cout_capture.h"
#include "tests/support/pg_test.h"
#include "tests/support/test_context.h"

namespace {

class LoaderTest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    openPool();
    device_ = addDevice("dev1", "192.0.2.7");
    plugin_ = addPlugin("/usr/lib/nagios/plugins/check_dummy");
  }
  void TearDown() override {
    delete pool_;
    PgTest::TearDown();
  }
  // A pool prepared as start-up prepares pgSQL (again after a change of the schema: a prepared
  // statement keeps the result type it was prepared with).
  void openPool() {
    delete pool_;
    pool_ = new pgConnectionPool(conninfo(), 1);
    pool_->prepareRequest("reloadService", sql::reloadServiceQuery(0));
    pool_->prepareRequest("updateService", sql::updateServiceQuery(0));
    pool_->prepareRequest("select_adv_config", sql::kSelectAdvConfig, 1);
  }
  void makeCores(int n) {
    for (int i = 0; i < n; ++i) tc.addBareCore();
  }
  std::vector<service> drain(int core) { return tc.drain(core); }

  TestContext tc;
  pgConnectionPool* pool_ = nullptr;
  long device_ = 0, plugin_ = 0;
};

TEST_F(LoaderTest, BuildsTheServiceFromItsRow) {
  makeCores(1);
  long prog = addProgram("/bin/alert");
  long id = addService("web", plugin_, device_, 60000, "-H $IP -n $NODENAME '$SERID'", 2);
  exec("UPDATE mavo_services SET service_last_stdout='CRIT: down' WHERE service_id=" +
       std::to_string(id));
  addResponse(id, prog, "-m $ERROR -t 'on call'", true, false, true, false);
  CoutCapture cap;
  load_script(tc.ctx, pool_, "reloadService");
  EXPECT_NE(cap.text().find("#INFO#script reload successful"), std::string::npos);
  auto got = drain(0);
  ASSERT_EQ(got.size(), 1u);
  const service& s = got[0];
  EXPECT_EQ(s.service_id, static_cast<unsigned long long>(id));
  EXPECT_EQ(s.service_id_str, std::to_string(id));
  EXPECT_EQ(s.plugin_id, plugin_);
  EXPECT_EQ(s.device_id, device_);
  EXPECT_EQ(s.service_name, "web");
  EXPECT_EQ(s.plugin_path, "/usr/lib/nagios/plugins/check_dummy");
  EXPECT_EQ(s.program_path, "/bin/alert");
  EXPECT_EQ(s.state, 2);
  EXPECT_EQ(s.previous_state, 2);
  EXPECT_EQ(s.last_stdout, "CRIT: down");
  EXPECT_EQ(s.interval_exec_time, 60000);
  EXPECT_FLOAT_EQ(s.load_weight, 5.0f);
  EXPECT_TRUE(s.response_ok);
  EXPECT_TRUE(s.response_critical);
  EXPECT_FALSE(s.response_warning);
  EXPECT_FALSE(s.response_unknown);
  EXPECT_EQ(s.parameter, "-H 192.0.2.7 -n dev1 '" + std::to_string(id) + "'");
  EXPECT_EQ(s.parameter_list,
            (std::list<std::string>{"-H", "192.0.2.7", "-n", "dev1", std::to_string(id)}));
  EXPECT_EQ(s.alerting_parameter_list, (std::list<std::string>{"-m", "$ERROR", "-t", "on call"}));
  EXPECT_FLOAT_EQ(tc.cores[0]->load, 5.0f);
}

TEST_F(LoaderTest, EqualServicesAreDealtRoundTheCoresInIndexOrder) {
  makeCores(3);
  for (int i = 0; i < 6; ++i) addService("s" + std::to_string(i), plugin_, device_, 60000);
  load_script(tc.ctx, pool_, "reloadService");
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(tc.cores[c]->wait_queue->size(), 2u) << "core " << c;
    EXPECT_FLOAT_EQ(tc.cores[c]->load, 10.0f);
  }
}

TEST_F(LoaderTest, LeastLoadedCoreWinsTiesGoToLowestIndex) {
  makeCores(2);
  addService("minute", plugin_, device_, 60000);
  for (int i = 0; i < 6; ++i) addService("five" + std::to_string(i), plugin_, device_, 300000);
  load_script(tc.ctx, pool_, "reloadService");
  auto core0 = drain(0), core1 = drain(1);
  ASSERT_EQ(core0.size(), 2u);
  ASSERT_EQ(core1.size(), 5u);
  EXPECT_FLOAT_EQ(tc.cores[0]->load, 6.0f);
  EXPECT_FLOAT_EQ(tc.cores[1]->load, 5.0f);
}

TEST_F(LoaderTest, FirstRunsFallWithinTheSpread) {
  makeCores(1);
  tc.ctx.load_spread = 5;
  for (int i = 0; i < 40; ++i) addService("s" + std::to_string(i), plugin_, device_, 1000);
  const timeval before = monotonicNow();
  load_script(tc.ctx, pool_, "reloadService");
  const timeval after = monotonicNow();
  auto got = drain(0);
  ASSERT_EQ(got.size(), 40u);
  for (const auto& s : got) {
    EXPECT_GE(s.next_exec_time.tv_sec, before.tv_sec);
    EXPECT_LE(s.next_exec_time.tv_sec, after.tv_sec + tc.ctx.load_spread - 1);
  }
}

TEST_F(LoaderTest, BadRowsAreLoggedByColumnAndSkippedWhileOthersLoad) {
  makeCores(1);
  // A database whose state column is text can hand over anything.
  exec("ALTER TABLE mavo_services ALTER COLUMN service_previous_state TYPE text");
  openPool();
  long good = addService("good", plugin_, device_, 60000);
  auto withNull = [&](const std::string& name, const std::string& columns) {
    long id = addService(name, plugin_, device_, 60000);
    exec("UPDATE mavo_services SET " + columns + " WHERE service_id=" + std::to_string(id));
    return id;
  };
  long no_state = withNull("nostate", "service_previous_state=NULL");
  long word_state = withNull("wordstate", "service_previous_state='warn'");
  long huge_state = withNull("hugestate", "service_previous_state='99999999999'");
  long no_interval = withNull("nointerval", "service_interval_time=NULL");
  // Every column that may be NULL, on a plugin and a device without anything but their ids.
  long bare_plugin = addPlugin("");
  long bare_device =
      std::stol(scalar("INSERT INTO mavo_device DEFAULT VALUES RETURNING device_id"));
  long all_null =
      std::stol(scalar("INSERT INTO mavo_services (service_plugin_id, service_device_id, "
                       "service_previous_state, service_last_stdout) VALUES (" +
                       std::to_string(bare_plugin) + ", " + std::to_string(bare_device) +
                       ", NULL, NULL) RETURNING service_id"));
  long zero = addService("zero", plugin_, device_, 0);
  long negative = addService("negative", plugin_, device_, -1000);
  long snmp_dev = addDevice("snmp", "10.0.0.1", "device_snmp_version", "'two'");
  long bad_snmp = addService("badsnmp", plugin_, snmp_dev, 60000, "$SNMP_PARAMETER");
  // Loaded, but they cannot run as written.
  long no_plugin = addService("noplugin", addPlugin("/nonexistent/check"), device_, 60000);
  long no_key = addService("nokey", plugin_, device_, 60000, "-k $AUTH_FILE_ssh-key -v");
  CoutCapture cap;
  load_script(tc.ctx, pool_, "reloadService");
  std::string log = cap.text();
  const std::pair<long, std::string> expected[] = {
      {no_state, "stoi: service_previous_state is NULL\n"},
      {word_state, "stoi: service_previous_state is not an integer: 'warn'\n"},
      {huge_state, "stoi: service_previous_state is not an integer: '99999999999'\n"},
      {no_interval, "stoi: service_interval_time is NULL\n"},
      {all_null, "stoi: service_previous_state is NULL\n"},
      {zero, " service_interval_time must be positive, got 0\n"},
      {negative, " service_interval_time must be positive, got -1000\n"},
      {bad_snmp, "stoi: device_snmp_version is not an integer: 'two'\n"},
  };
  for (const auto& e : expected) {
    EXPECT_NE(
        log.find("#ERR#Failed to initial load service: " + std::to_string(e.first) + e.second),
        std::string::npos)
        << e.first << e.second << log;
  }
  auto got = drain(0);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].service_id + got[1].service_id + got[2].service_id,
            static_cast<unsigned long long>(good + no_plugin + no_key));
  EXPECT_FLOAT_EQ(tc.cores[0]->load, 15.0f);

  // The configuration check names the same rows with the same reasons, and the two that
  // cannot run; it logs nothing and skips the ids it is given.
  CoutCapture quiet;
  const IdSet skip = {static_cast<unsigned long long>(negative)};
  std::map<std::string, std::string> refused, cannot_run;
  const ServiceCheck check = checkServices(pool_, "reloadService", &skip);
  for (const ServiceProblem& p : check.problems)
    (p.refused ? refused : cannot_run)[p.service_id] = p.service_name + ":" + p.reason + "\n";
  EXPECT_EQ(quiet.text(), "");
  EXPECT_EQ(check.loaded, 3u);
  EXPECT_EQ(refused.size(), std::size(expected) - 1);
  for (const auto& e : expected) {
    if (e.first == negative) continue;
    EXPECT_EQ(
        refused[std::to_string(e.first)].substr(refused[std::to_string(e.first)].find(':') + 1),
        e.second);
  }
  EXPECT_EQ(refused[std::to_string(zero)], "zero: service_interval_time must be positive, got 0\n");
  EXPECT_EQ(cannot_run,
            (std::map<std::string, std::string>{
                {std::to_string(no_plugin),
                 "noplugin:plugin is not executable No such file or directory: "
                 "/nonexistent/check\n"},
                {std::to_string(no_key),
                 "nokey:keyword $AUTH_FILE_ssh-key has no value for device " +
                     std::to_string(device_) + ": the plugin gets the keyword itself\n"}}));
}

// A result with NULL in every column (a view or another daemon version's query could give
// one): logged by its first column, and the rows around it load.
TEST_F(LoaderTest, RowOfNullsIsLoggedAndSkipped) {
  makeCores(1);
  long good = addService("good", plugin_, device_, 60000);
  std::string nulls = "NULL";
  for (int c = 1; c < 31; ++c) nulls += ",NULL";
  const std::string query = sql::reloadServiceQuery(0);
  pool_->prepareRequest("withNulls",
                        "(" + query.substr(0, query.size() - 1) + ") UNION ALL SELECT " + nulls);
  CoutCapture cap;
  load_script(tc.ctx, pool_, "withNulls");
  EXPECT_NE(cap.text().find("#ERR#Failed to initial load service: stoi: service_id is NULL\n"),
            std::string::npos)
      << cap.text();
  auto got = drain(0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].service_id, static_cast<unsigned long long>(good));
}

TEST_F(LoaderTest, EmptyResultOnlyLogsSuccess) {
  makeCores(1);
  CoutCapture cap;
  load_script(tc.ctx, pool_, "reloadService");
  EXPECT_EQ(cap.text().substr(24), "#INFO#script reload successful\n");
}

TEST_F(LoaderTest, TraceLinesFollowTheLoadSteps) {
  makeCores(1);
  long id = addService("t", plugin_, device_, 60000);
  debug = 1;
  CoutCapture cap;
  load_script(tc.ctx, pool_, "reloadService");
  debug = 0;
  std::string ids = std::to_string(id);
  const std::string expected[] = {
      "#DEBUG#Chargement dans la queue " + ids + "\n",
      "#DEBUG##LOAD ID reloadService#" + ids + "#\n",
      "#DEBUG##LOAD ID reloadService#" + ids + "#\n",
      "#DEBUG##LOAD ID reloadService#" + ids + "#REPLACE PARAMETER\n",
      "#DEBUG##LOAD ID reloadService#" + ids + "#CHECK AUTH FILE\n",
      "#DEBUG#Chargement dans la queue numéros 0\n",
      "#DEBUG#Chargement dans la queue numéros sucess\n",
      "#INFO#script reload successful\n",
  };
  std::istringstream in(cap.text());
  std::string line;
  size_t i = 0;
  while (std::getline(in, line) && i < std::size(expected)) {
    EXPECT_EQ(line.substr(24) + "\n", expected[i]) << "line " << i;
    ++i;
  }
  EXPECT_EQ(i, std::size(expected));
}

// A service id is scheduled once: a new definition of a scheduled service goes to the update
// map (its worker takes it at the next run), one of a service that is not scheduled is placed.
TEST_F(LoaderTest, UpdateLoaderReplacesScheduledDefinitionsAndPlacesTheOthers) {
  makeCores(1);
  long id = addService("upd", plugin_, device_, 120000, "-v $NODEID", 1);
  load_script(tc.ctx, pool_, "reloadService");
  ASSERT_EQ(tc.cores[0]->wait_queue->size(), 1u);
  long fresh = addService("fresh", plugin_, device_, 60000);
  for (long x : {id, fresh}) {
    exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(x) + ", 'UPDATE')");
    exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(x) + ", 'ADD')");
  }
  load_UpdateService(tc.ctx, pool_, "updateService");
  ASSERT_TRUE(tc.updates.find(id));
  EXPECT_FALSE(tc.updates.find(fresh));
  service s = tc.updates.getService(id);
  EXPECT_EQ(s.parameter_list, (std::list<std::string>{"-v", std::to_string(device_)}));
  EXPECT_EQ(s.interval_exec_time, 120000);
  EXPECT_EQ(s.state, 1);
  auto queued = drain(0);
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].service_id + queued[1].service_id,
            static_cast<unsigned long long>(id + fresh));
  EXPECT_FLOAT_EQ(tc.cores[0]->load, 2.0f + 5.0f);
  // Loading everything again changes nothing in the queues: both ids are scheduled.
  load_script(tc.ctx, pool_, "reloadService");
  EXPECT_TRUE(tc.cores[0]->wait_queue->empty());
  EXPECT_TRUE(tc.updates.find(id) && tc.updates.find(fresh));
}

// A service with several alerting programs comes as one row per program: it is scheduled once,
// with every program, each once even when its device is listed twice in the inventory (every row
// then comes twice).
TEST_F(LoaderTest, ServiceWithSeveralAlertingProgramsIsOneServiceWithEach) {
  makeCores(2);
  long id = addService("multi", plugin_, device_, 60000);
  addResponse(id, addProgram("/bin/first"), "-a $ERROR", false, true, false, false);
  addResponse(id, addProgram("/bin/second"), "-b $ERROR", true, false, true, false);
  exec("INSERT INTO tibo_info VALUES (9, 'SN9')");
  for (int i = 0; i < 2; ++i)
    exec("INSERT INTO tibo_connected VALUES (" + std::to_string(device_) + ", 9)");
  load_script(tc.ctx, pool_, "reloadService");
  auto got = drain(0), other = drain(1);
  got.insert(got.end(), other.begin(), other.end());
  ASSERT_EQ(got.size(), 1u);
  const service& s = got[0];
  ASSERT_EQ(s.more_responses.size(), 1u);
  std::set<std::string> programs = {s.program_path, s.more_responses.front().program_path};
  EXPECT_EQ(programs, (std::set<std::string>{"/bin/first", "/bin/second"}));
  const ServiceResponse& second =
      s.program_path == "/bin/second"
          ? ServiceResponse{s.program_path,     s.alerting_parameter_list, s.response_ok,
                            s.response_unknown, s.response_warning,        s.response_critical}
          : s.more_responses.front();
  EXPECT_EQ(second.alerting_parameter_list, (std::list<std::string>{"-b", "$ERROR"}));
  EXPECT_TRUE(second.response_ok && second.response_critical);
  EXPECT_FALSE(second.response_warning || second.response_unknown);
}

TEST_F(LoaderTest, FailingStatementReachesTheCaller) {
  makeCores(1);
  EXPECT_THROW(load_script(tc.ctx, pool_, "not_prepared"), PostgresqlException);
  EXPECT_THROW(load_UpdateService(tc.ctx, pool_, "not_prepared"), PostgresqlException);
}

}  // namespace
