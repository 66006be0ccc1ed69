// Incident recording against a real database: the state-to-error map, the stored state and
// output, incidents opened and acknowledged, and the failures each function absorbs.

#include "sched/incidents.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "service/service.h"
#include "tests/support/pg_test.h"

namespace {

class IncidentsTest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    pool = std::make_unique<pgConnectionPool>(conninfo(), 2);
    for (const auto& st : sql::coreStatements()) pool->prepareRequest(st.name, st.text, st.nparams);
    map_error.clear();
    PgResult r = exec("SELECT error_id, error_name FROM mavo_errors");
    for (int i = 0; i < PQntuples(r.get()); ++i)
      map_error[PQgetvalue(r.get(), i, 1)] = PQgetvalue(r.get(), i, 0);
    svc = serviceRow("web");
  }
  void TearDown() override {
    debug = 0;
    map_error.clear();
    pool.reset();
    PgTest::TearDown();
  }

  service serviceRow(const std::string& name) {
    long device = addDevice(name + "-dev");
    long plugin = addPlugin("/usr/lib/nagios/plugins/check_dummy");
    service s;
    s.SetService_id(addService(name, plugin, device, 60000));
    s.device_id = device;
    s.service_name = name;
    return s;
  }
  std::string errorId(const std::string& name) {
    return scalar("SELECT error_id FROM mavo_errors WHERE error_name=" + quote(name));
  }
  std::string openIncidents(const service& s) {
    return scalar(
        "SELECT count(*) FROM mavo_error_happen WHERE happen_acquitte=0 AND "
        "happen_service_id=" +
        s.service_id_str);
  }

  std::unique_ptr<pgConnectionPool> pool;
  service svc;
};

TEST_F(IncidentsTest, StatesMapToTheirDefaultErrorKinds) {
  struct Case {
    int state;
    std::string name;  // "" : no error kind
  } cases[] = {{0, ""},
               {1, "default_warning_error"},
               {2, "default_critical_error"},
               {3, "default_unknow_error"},
               {4, ""},
               {5, "default_maintenance"},
               {6, ""},
               {-1, ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(getErrorId(c.state), c.name.empty() ? "" : errorId(c.name)) << c.state;
  }
  map_error.erase("default_maintenance");
  EXPECT_EQ(getErrorId(5), "");
}

TEST_F(IncidentsTest, UpdateServiceStoresOutputUnchangedWithTheRunTime) {
  svc.state = 2;
  svc.last_stdout = "it's \"down\"\nline two; DROP TABLE x; $1 \\ end";
  debug = 1;
  testing::internal::CaptureStdout();
  updateService(svc, pool.get());
  std::string out = testing::internal::GetCapturedStdout();
  debug = 0;
  EXPECT_NE(out.find("#DEBUG##UPDATE web#" + svc.service_id_str + "#\n"), std::string::npos) << out;
  PgResult r = exec(
      "SELECT service_previous_state, service_last_stdout, "
      "abs(extract(epoch FROM now()::timestamp - service_last_exec_time)) < 60 "
      "FROM mavo_services WHERE service_id=" +
      svc.service_id_str);
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 0), "2");
  EXPECT_EQ(PQgetvalue(r.get(), 0, 1), svc.last_stdout);
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 2), "t");
}

TEST_F(IncidentsTest, UpdateServiceFailurePassesToTheCaller) {
  pgConnectionPool bare(conninfo(), 1);  // nothing prepared
  EXPECT_THROW(updateService(svc, &bare), PostgresqlException);
}

TEST_F(IncidentsTest, InsertErrorOpensAnIncidentAndReturnsItsId) {
  svc.last_stdout = "CRITICAL: 'disk' full\n";
  std::string id = InsertError(svc, 2, pool.get());
  ASSERT_NE(id, "-1");
  PgResult r = exec(
      "SELECT happen_error_id, happen_device_id, happen_service_id, happen_message, "
      "happen_acquitte, happen_value, happen_timestamp IS NOT NULL, happen_time_acquitte IS NULL "
      "FROM mavo_error_happen WHERE happen_id=" +
      id);
  ASSERT_EQ(PQntuples(r.get()), 1);
  EXPECT_EQ(PQgetvalue(r.get(), 0, 0), errorId("default_critical_error"));
  EXPECT_EQ(PQgetvalue(r.get(), 0, 1), std::to_string(svc.device_id));
  EXPECT_EQ(PQgetvalue(r.get(), 0, 2), svc.service_id_str);
  EXPECT_EQ(PQgetvalue(r.get(), 0, 3), svc.last_stdout);
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 4), "0");
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 5), "0");
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 6), "t");
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 7), "t");
  EXPECT_NE(InsertError(svc, 1, pool.get()), id);  // each call opens its own incident
  EXPECT_EQ(openIncidents(svc), "2");
}

TEST_F(IncidentsTest, InsertErrorWithoutErrorKindLogsAndReturnsMinusOne) {
  map_error.erase("default_unknow_error");
  for (int state : {0, 3, 4}) {
    testing::internal::CaptureStdout();
    std::string id = InsertError(svc, state, pool.get());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(id, "-1") << state;
    EXPECT_NE(
        out.find("#ERR#insert error failed:  Exec prepareRequest failed:  ERROR:  invalid input"),
        std::string::npos)
        << out;
  }
  EXPECT_EQ(rows("SELECT 1 FROM mavo_error_happen"), 0);
}

TEST_F(IncidentsTest, AcquitteErrorWithStateZeroTouchesNothing) {
  ASSERT_NE(InsertError(svc, 2, pool.get()), "-1");
  pgConnectionPool bare(conninfo(), 1);  // a statement run here would fail and be logged
  testing::internal::CaptureStdout();
  EXPECT_EQ(AcquitteError(svc, 0, &bare), "-1");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(openIncidents(svc), "1");
}

TEST_F(IncidentsTest, AcquitteErrorWithoutOpenIncidentReturnsMinusOne) {
  EXPECT_EQ(AcquitteError(svc, 2, pool.get()), "-1");
  std::string id = InsertError(svc, 2, pool.get());
  EXPECT_EQ(AcquitteError(svc, 2, pool.get()), id);
  EXPECT_EQ(AcquitteError(svc, 2, pool.get()), "-1");  // already acknowledged
}

TEST_F(IncidentsTest, AcquitteErrorAcknowledgesEveryOpenIncidentOfTheService) {
  service other = serviceRow("db");
  std::string critical = InsertError(svc, 2, pool.get());
  std::string maint = InsertError(svc, 5, pool.get());
  std::string foreign = InsertError(other, 1, pool.get());
  std::string id = AcquitteError(svc, 1, pool.get());  // whatever the kind
  EXPECT_TRUE(id == critical || id == maint) << id;
  EXPECT_EQ(openIncidents(svc), "0");
  EXPECT_EQ(rows("SELECT 1 FROM mavo_error_happen WHERE happen_acquitte=1 AND "
                 "happen_time_acquitte IS NOT NULL AND happen_id IN (" +
                 critical + "," + maint + ")"),
            2);
  EXPECT_EQ(openIncidents(other), "1");
}

TEST_F(IncidentsTest, AcquitteErrorLogsADatabaseFailureAndReturnsMinusOne) {
  pgConnectionPool bare(conninfo(), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(AcquitteError(svc, 2, &bare), "-1");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("#ERR#EXEC AcquitteErrorHappen failed in function AcquitteError: "),
            std::string::npos)
      << out;
}

}  // namespace
