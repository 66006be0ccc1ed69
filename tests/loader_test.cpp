// Service loading against the real database: building, core choice, first due times, bad rows.

#include "service/loader.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <iostream>
#include <sstream>

#include "core/settings.h"
#include "db/statements.h"
#include "sched/info_thread.h"
#include "sched/update_service_map.h"
#include "tests/support/cout_capture.h"
#include "tests/support/pg_test.h"

namespace {

class LoaderTest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    pool_ = new pgConnectionPool(conninfo(), 1);
    pool_->prepareRequest("reloadService", sql::reloadServiceQuery(0));
    pool_->prepareRequest("updateService", sql::updateServiceQuery(0));
    pool_->prepareRequest("select_adv_config", sql::kSelectAdvConfig, 1);
    modulo_rand = 300;
    device_ = addDevice("dev1", "192.0.2.7");
    plugin_ = addPlugin("/usr/lib/nagios/plugins/check_dummy");
  }
  void TearDown() override {
    for (infoThread* c : vec_core) {
      delete c->wait_queue;
      delete c->execute_queue;
      delete c->vec_thread;
      delete c;
    }
    vec_core.clear();
    while (serviceUpdate.find(0)) serviceUpdate.getService(0);
    delete pool_;
    modulo_rand = 300;
    PgTest::TearDown();
  }
  void makeCores(int n) {
    for (int i = 0; i < n; ++i) {
      auto* c = new infoThread{new WaitServiceQueue,
                               new ExecuteQueue<service>,
                               new std::vector<pthread_t>,
                               {},
                               nullptr,
                               0,
                               0.0f,
                               nullptr};
      pthread_mutex_init(&c->mutex_busy, nullptr);
      vec_core.push_back(c);
    }
  }
  std::vector<service> drain(int core) {
    std::vector<service> out;
    while (!vec_core[core]->wait_queue->empty()) out.push_back(vec_core[core]->wait_queue->pop());
    return out;
  }

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
  load_script(pool_, "reloadService");
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
  EXPECT_FLOAT_EQ(vec_core[0]->load, 5.0f);
}

TEST_F(LoaderTest, EqualServicesAreDealtRoundTheCoresInIndexOrder) {
  makeCores(3);
  for (int i = 0; i < 6; ++i) addService("s" + std::to_string(i), plugin_, device_, 60000);
  load_script(pool_, "reloadService");
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(vec_core[c]->wait_queue->size(), 2u) << "core " << c;
    EXPECT_FLOAT_EQ(vec_core[c]->load, 10.0f);
  }
}

TEST_F(LoaderTest, LeastLoadedCoreWinsTiesGoToLowestIndex) {
  makeCores(2);
  addService("minute", plugin_, device_, 60000);
  for (int i = 0; i < 6; ++i) addService("five" + std::to_string(i), plugin_, device_, 300000);
  load_script(pool_, "reloadService");
  auto core0 = drain(0), core1 = drain(1);
  ASSERT_EQ(core0.size(), 2u);
  ASSERT_EQ(core1.size(), 5u);
  EXPECT_FLOAT_EQ(vec_core[0]->load, 6.0f);
  EXPECT_FLOAT_EQ(vec_core[1]->load, 5.0f);
}

TEST_F(LoaderTest, FirstRunsFallWithinTheSpread) {
  makeCores(1);
  modulo_rand = 5;
  for (int i = 0; i < 40; ++i) addService("s" + std::to_string(i), plugin_, device_, 1000);
  timeval before;
  gettimeofday(&before, nullptr);
  load_script(pool_, "reloadService");
  timeval after;
  gettimeofday(&after, nullptr);
  auto got = drain(0);
  ASSERT_EQ(got.size(), 40u);
  for (const auto& s : got) {
    EXPECT_GE(s.next_exec_time.tv_sec, before.tv_sec);
    EXPECT_LE(s.next_exec_time.tv_sec, after.tv_sec + modulo_rand - 1);
  }
}

TEST_F(LoaderTest, BadRowsAreLoggedAndSkippedWhileOthersLoad) {
  makeCores(1);
  long good = addService("good", plugin_, device_, 60000);
  long no_state = addService("nostate", plugin_, device_, 60000);
  exec("UPDATE mavo_services SET service_previous_state=NULL WHERE service_id=" +
       std::to_string(no_state));
  long zero = addService("zero", plugin_, device_, 0);
  long negative = addService("negative", plugin_, device_, -1000);
  long snmp_dev = addDevice("snmp", "10.0.0.1", "device_snmp_version", "'two'");
  long bad_snmp = addService("badsnmp", plugin_, snmp_dev, 60000, "$SNMP_PARAMETER");
  CoutCapture cap;
  load_script(pool_, "reloadService");
  std::string log = cap.text();
  EXPECT_NE(log.find("#ERR#Failed to initial load service: " + std::to_string(no_state) + "stoi\n"),
            std::string::npos)
      << log;
  for (long id : {zero, negative}) {
    EXPECT_NE(log.find("#ERR#Failed to initial load service: " + std::to_string(id) +
                       " service_interval_time must be positive"),
              std::string::npos)
        << log;
  }
  EXPECT_NE(log.find("Failed to initial load service: " + std::to_string(bad_snmp) + "stoi"),
            std::string::npos);
  auto got = drain(0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].service_id, static_cast<unsigned long long>(good));
  EXPECT_FLOAT_EQ(vec_core[0]->load, 5.0f);
}

TEST_F(LoaderTest, EmptyResultOnlyLogsSuccess) {
  makeCores(1);
  CoutCapture cap;
  load_script(pool_, "reloadService");
  EXPECT_EQ(cap.text().substr(24), "#INFO#script reload successful\n");
}

TEST_F(LoaderTest, TraceLinesFollowTheLoadSteps) {
  makeCores(1);
  long id = addService("t", plugin_, device_, 60000);
  debug = 1;
  CoutCapture cap;
  load_script(pool_, "reloadService");
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

TEST_F(LoaderTest, UpdateLoaderHandsServicesToTheUpdateMap) {
  makeCores(1);
  long id = addService("upd", plugin_, device_, 120000, "-v $NODEID", 1);
  exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(id) + ", 'UPDATE')");
  exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(id) + ", 'ADD')");
  load_UpdateService(pool_, "updateService");
  EXPECT_TRUE(vec_core[0]->wait_queue->empty());
  EXPECT_FLOAT_EQ(vec_core[0]->load, 0.0f);
  ASSERT_TRUE(serviceUpdate.find(id));
  service s = serviceUpdate.getService(id);
  EXPECT_EQ(s.parameter_list, (std::list<std::string>{"-v", std::to_string(device_)}));
  EXPECT_EQ(s.interval_exec_time, 120000);
  EXPECT_EQ(s.state, 1);
}

TEST_F(LoaderTest, FailingStatementReachesTheCaller) {
  makeCores(1);
  EXPECT_THROW(load_script(pool_, "not_prepared"), PostgresqlException);
  EXPECT_THROW(load_UpdateService(pool_, "not_prepared"), PostgresqlException);
}

}  // namespace
