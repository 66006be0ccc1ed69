// The maintenance planner against a real database: which configurations are planned, the
// planned rows' end and minutes, the advance of each configuration, the daemon condition, and
// values that contain quotes.

#include "maintenance/planner.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "core/settings.h"
#include "db/pool.h"
#include "db/statements.h"
#include "tests/support/cout_capture.h"
#include "tests/support/pg_test.h"
#include "tests/support/text.h"

namespace {

class PlannerTest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    pool_ = std::make_unique<pgConnectionPool>(conninfo(), 1);
    pool_->prepareRequest("updateMaintenanceConf", sql::kUpdateMaintenanceConf, 1);
    pool_->prepareRequest("updateMaintenanceConfByDayOfMonth",
                          sql::kUpdateMaintenanceConfByDayOfMonth, 1);
    device_ = addDevice();
    plugin_ = addPlugin("/bin/true");
  }
  void TearDown() override {
    debug = 0;
    pool_.reset();
    PgTest::TearDown();
  }

  long service(int srv_id = 0) { return addService("svc", plugin_, device_, 60000, "", 0, srv_id); }

  // A configuration starting at start_sql (an SQL expression); returns its id.
  long conf(long service_id, const std::string& type, const std::string& start_sql,
            const std::string& during, const std::string& recurring = "1 day",
            const std::string& firsterror_sql = "NULL", const std::string& week = "") {
    return std::stol(
        scalar("INSERT INTO mavo_maintenance_configuration (maintenance_conf_type, "
               "maintenance_conf_start_date, maintenance_conf_service_id, maintenance_conf_during, "
               "maintenance_conf_recurring, maintenance_conf_during_firsterror, "
               "maintenance_week_selected) VALUES (" +
               quote(type) + ", " + start_sql + ", " + std::to_string(service_id) + ", " +
               quote(during) + ", " + quote(recurring) + ", " + firsterror_sql + ", " +
               quote(week) + ") RETURNING maintenance_conf_id"));
  }

  std::string confStart(long conf_id) {
    return scalar(
        "SELECT maintenance_conf_start_date FROM mavo_maintenance_configuration "
        "WHERE maintenance_conf_id=" +
        std::to_string(conf_id));
  }

  int planned(const std::string& where = "true") {
    return std::stoi(scalar("SELECT count(*) FROM mavo_maintenance_planned WHERE " + where));
  }

  std::unique_ptr<pgConnectionPool> pool_;
  long device_ = 0;
  long plugin_ = 0;
};

// The start of a configuration is read back to the second, so tests start on a whole second.
const char* const kNow = "date_trunc('second', now())";

TEST_F(PlannerTest, NothingWithinAnHourPlansNothingAndTracesEntryAndExit) {
  long s = service();
  long c = conf(s, "EXEC", "now() + interval '61 min'", "01:00:00");
  const std::string before = confStart(c);
  debug = 1;
  std::string log;
  {
    CoutCapture captured;
    loadMaintenance(pool_.get(), 0);
    log = captured.text();
  }
  EXPECT_EQ(planned(), 0);
  EXPECT_EQ(confStart(c), before);
  EXPECT_NE(log.find("#DEBUG##LOADMAINTENANCE\n"), std::string::npos) << log;
  EXPECT_NE(log.find("#DEBUG##LOADMAINTENANCEEND\n"), std::string::npos) << log;
}

TEST_F(PlannerTest, PlannedRowEndsOneDurationLaterAndCountsMinutesByType) {
  const struct {
    const char* type;
    const char* during;
    const char* firsterror;
    const char* length;  // planned_end - planned_start
    int minutes;
  } cases[] = {
      {"EXEC", "01:30:00", "NULL", "01:30:00", 90},
      {"NOEXEC", "00:45:00", "'00:10:00'", "00:45:00", 45},
      {"FIRSTERROR", "02:00:00", "'00:30:00'", "02:00:00", 30},
      {"FIRSTERRORS", "02:00:00", "'00:30:00'", "02:00:00", 120},  // not exactly FIRSTERROR
      {"EXEC", "1 day 02:00:00", "NULL", "1 day 02:00:00", 1560},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.during);
    exec("DELETE FROM mavo_maintenance_planned");
    exec("DELETE FROM mavo_maintenance_configuration");
    long s = service();
    conf(s, c.type, std::string(kNow) + " + interval '10 min'", c.during, "1 day", c.firsterror);
    const std::string start = scalar(std::string("SELECT ") + kNow + " + interval '10 min'");
    loadMaintenance(pool_.get(), 0);
    ASSERT_EQ(planned(), 1);
    EXPECT_EQ(scalar("SELECT planned_type FROM mavo_maintenance_planned"), c.type);
    EXPECT_EQ(scalar("SELECT planned_start = " + quote(start) +
                     "::timestamp FROM mavo_maintenance_planned"),
              "t");
    EXPECT_EQ(scalar("SELECT planned_end - planned_start FROM mavo_maintenance_planned"),
              scalar(std::string("SELECT interval '") + c.length + "'"));
    EXPECT_EQ(scalar("SELECT planned_during FROM mavo_maintenance_planned"),
              std::to_string(c.minutes));
    EXPECT_EQ(scalar("SELECT planned_service_id FROM mavo_maintenance_planned"), std::to_string(s));
  }
}

// The insertion passes the values as parameters; for well-formed values it must store what
// the values spliced into the statement text would have stored.
TEST_F(PlannerTest, ParameterisedInsertionStoresWhatSplicedValuesWould) {
  long s = service();
  conf(s, "EXEC", std::string(kNow) + " - interval '5 min'", "01:30:00");
  conf(s, "FIRSTERROR", std::string(kNow) + " + interval '20 min'", "02:00:00", "1 day",
       "'00:30:00'");
  conf(s, "NOEXEC", std::string(kNow) + " + interval '59 min'", "00:00:30");
  conf(s, "EXEC", std::string(kNow) + " + interval '1 min'", "3 days 00:00:45");
  PgResult confs = exec(sql::selectMaintenanceConfQuery(0));
  ASSERT_EQ(PQntuples(confs.get()), 4);
  for (int r = 0; r < PQntuples(confs.get()); ++r) {
    auto col = [&](int c) { return std::string(PQgetvalue(confs.get(), r, c)); };
    const std::string t = col(1), st = col(2), d = col(4), v = col(3);
    const std::string x = t == "FIRSTERROR" ? col(6) : d;
    exec(
        "INSERT INTO mavo_maintenance_planned(planned_id, planned_type, planned_start, "
        "planned_end, planned_during, planned_service_id)VALUES (DEFAULT,'" +
        t + "','" + st + "','" + st + "'::timestamp + '" + d +
        "'::interval,(SELECT EXTRACT(epoch FROM '" + x + "'::interval)/60)," + v + ");");
  }
  confs.reset();
  loadMaintenance(pool_.get(), 0);
  ASSERT_EQ(planned(), 8);
  // Every row stored by the planner has an identical twin stored by the spliced text.
  EXPECT_EQ(scalar("SELECT count(*) FROM (SELECT 1 FROM mavo_maintenance_planned GROUP BY "
                   "planned_type, planned_start, planned_end, planned_during, "
                   "planned_service_id HAVING count(*) <> 2) unpaired"),
            "0");
}

TEST_F(PlannerTest, ConfigurationAdvancesByRecurrenceOrByStoredFunction) {
  long s = service();
  long by_recurrence = conf(s, "EXEC", kNow, "01:00:00", "7 days");
  long by_day_of_month = conf(s, "NOEXEC", kNow, "01:00:00", "7 days", "NULL", "1,3");
  const std::string start = scalar(std::string("SELECT ") + kNow);
  loadMaintenance(pool_.get(), 0);
  EXPECT_EQ(planned(), 2);
  EXPECT_EQ(confStart(by_recurrence),
            scalar("SELECT " + quote(start) + "::timestamp + interval '7 days'"));
  // Weeks 1 and 3, on the start's weekday and at its time: the first day a whole number of
  // weeks later that is day 1 to 7 or 15 to 21 of its month.
  EXPECT_EQ(confStart(by_day_of_month),
            scalar("SELECT min(s) FROM generate_series(" + quote(start) +
                   "::timestamp + interval '7 days', " + quote(start) +
                   "::timestamp + interval '63 days', interval '7 days') s "
                   "WHERE extract(day FROM s) <= 7 OR extract(day FROM s) BETWEEN 15 AND 21"));
  // Both are now far ahead: a second call plans nothing more.
  loadMaintenance(pool_.get(), 0);
  EXPECT_EQ(planned(), 2);
}

TEST_F(PlannerTest, RecurrenceShorterThanAnHourPlansOneOccurrencePerCall) {
  long s = service();
  long c = conf(s, "EXEC", kNow, "00:05:00", "00:25:00");
  const std::string start = confStart(c);
  for (int call = 1; call <= 4; ++call) loadMaintenance(pool_.get(), 0);
  // The occurrences at +0, +25 and +50 minutes are within the hour; +75 is not.
  EXPECT_EQ(planned(), 3);
  EXPECT_EQ(confStart(c), scalar("SELECT " + quote(start) + "::timestamp + interval '75 min'"));
}

TEST_F(PlannerTest, DaemonIdentifierPlansOnlyItsOwnServices) {
  long mine = service(3);
  long other = service(4);
  conf(mine, "EXEC", kNow, "01:00:00");
  long other_conf = conf(other, "EXEC", kNow, "01:00:00");
  const std::string other_start = confStart(other_conf);
  loadMaintenance(pool_.get(), 3);
  EXPECT_EQ(planned(), 1);
  EXPECT_EQ(planned("planned_service_id=" + std::to_string(mine)), 1);
  EXPECT_EQ(confStart(other_conf), other_start);
  loadMaintenance(pool_.get(), 0);
  EXPECT_EQ(planned("planned_service_id=" + std::to_string(other)), 1);
}

TEST_F(PlannerTest, QuotesInValuesAreStoredVerbatim) {
  long s = service();
  const std::string types[] = {"EX'EC", "'); DELETE FROM mavo_services; --", "a''b\\'"};
  for (const auto& t : types) conf(s, t, kNow, "01:00:00");
  loadMaintenance(pool_.get(), 0);
  EXPECT_EQ(planned(), 3);
  for (const auto& t : types) EXPECT_EQ(planned("planned_type=" + quote(t)), 1) << t;
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services"), 1);
}

TEST_F(PlannerTest, RefusedConfigurationsAreLoggedOnceAndOthersStillPlan) {
  long s = service();
  // A window that would end past the last timestamp is refused by the server. A missing or
  // negative length, a FIRSTERROR window without a positive first-error length, a negative or
  // zero recurrence are refused before they reach it (the recurrences would be planned again at
  // every cycle).
  long too_long = conf(s, "EXEC", kNow, "300000 years", "1 day");
  long no_during = conf(s, "EXEC", kNow, "01:00:00", "1 day");
  exec(
      "UPDATE mavo_maintenance_configuration SET maintenance_conf_during=NULL WHERE "
      "maintenance_conf_id=" +
      std::to_string(no_during));
  long negative_during = conf(s, "EXEC", kNow, "-01:00:00", "1 day");
  long no_firsterror = conf(s, "FIRSTERROR", kNow, "01:00:00", "1 day", "NULL");
  long negative_firsterror = conf(s, "FIRSTERROR", kNow, "01:00:00", "1 day", "'-00:10:00'");
  long negative_step = conf(s, "EXEC", kNow, "01:00:00", "-1 day");
  long zero_step = conf(s, "NOEXEC", kNow, "01:00:00", "00:00:00");
  // A week selection the stored function refuses: the window goes with the refused advance,
  // or it would be planned again at every cycle.
  long bad_week = conf(s, "EXEC", kNow, "01:00:00", "1 day", "NULL", "fifth");
  long ok = conf(s, "EXEC", kNow, "01:00:00", "1 day");
  const std::string ok_start = confStart(ok);
  std::string log;
  {
    CoutCapture captured;
    loadMaintenance(pool_.get(), 0);
    loadMaintenance(pool_.get(), 0);
    log = captured.text();
  }
  EXPECT_EQ(planned(), 1);
  EXPECT_NE(confStart(ok), ok_start);
  const std::pair<long, std::string> refused[] = {
      {too_long, "Execute failed:  ERROR:  timestamp out of range"},
      {no_during, "maintenance_conf_during must be a positive interval, got ''"},
      {negative_during, "maintenance_conf_during must be a positive interval, got '-01:00:00'"},
      {no_firsterror, "maintenance_conf_during_firsterror must be a positive interval, got ''"},
      {negative_firsterror,
       "maintenance_conf_during_firsterror must be a positive interval, got '-00:10:00'"},
      {negative_step, "maintenance_conf_recurring must be a positive interval, got '-1 days'"},
      {zero_step, "maintenance_conf_recurring must be a positive interval, got '00:00:00'"},
      {bad_week,
       "Exec prepareRequest failed:  ERROR:  maintenance_week_selected of configuration " +
           std::to_string(bad_week) + ": unknown item 'fifth'"},
  };
  for (const auto& r : refused) {
    const std::string line = "#ERR#maintenance configuration " + std::to_string(r.first) +
                             " of service " + std::to_string(s) + " is not planned: " + r.second;
    size_t first = log.find(line);
    EXPECT_NE(first, std::string::npos) << line << "\n" << log;
    EXPECT_EQ(log.find(line, first + 1), std::string::npos) << "logged twice: " << r.first;
  }
}

// Without a recurrence a configuration is a one-off: planned once, its start date then has no
// value and it is never planned again.
TEST_F(PlannerTest, ConfigurationWithoutRecurrenceIsPlannedOnce) {
  long s = service();
  long once = conf(s, "EXEC", kNow, "01:00:00");
  exec(
      "UPDATE mavo_maintenance_configuration SET maintenance_conf_recurring=NULL WHERE "
      "maintenance_conf_id=" +
      std::to_string(once));
  loadMaintenance(pool_.get(), 0);
  loadMaintenance(pool_.get(), 0);
  EXPECT_EQ(planned("planned_end = planned_start + interval '1 hour'"), 1);
  EXPECT_EQ(planned(), 1);
  EXPECT_EQ(confStart(once), "");
}

// An editor left a transaction open on one configuration: the planner does not wait for it,
// plans the others, says which one waits, and plans it once the lock is gone.
TEST_F(PlannerTest, LockedConfigurationWaitsAloneForALaterCall) {
  long s = service();
  long held = conf(s, "EXEC", kNow, "01:00:00");
  long free1 = conf(s, "NOEXEC", kNow, "01:00:00");
  PgConn editor(PQconnectdb(conninfo().c_str()));
  PQclear(PQexec(editor.get(), "BEGIN"));
  PQclear(PQexec(editor.get(), ("SELECT * FROM mavo_maintenance_configuration WHERE "
                                "maintenance_conf_id=" +
                                std::to_string(held) + " FOR UPDATE")
                                   .c_str()));
  pgConnectionPool pool(conninfo(), 1, 1);
  pool.prepareRequest("updateMaintenanceConf", sql::kUpdateMaintenanceConf, 1);
  std::string log;
  {
    CoutCapture captured;
    EXPECT_NO_THROW(loadMaintenance(&pool, 0));
    EXPECT_NO_THROW(loadMaintenance(&pool, 0));
    log = captured.text();
  }
  EXPECT_EQ(planned("planned_type='NOEXEC'"), 1);
  EXPECT_EQ(planned("planned_type='EXEC'"), 0);
  const std::string line = "#ERR#maintenance configuration " + std::to_string(held) +
                           " of service " + std::to_string(s) +
                           " is locked by another session: it is planned at a later cycle";
  EXPECT_EQ(count(log, line), 1) << log;
  EXPECT_EQ(count(log, std::to_string(free1) + " of service"), 0) << log;

  PQclear(PQexec(editor.get(), "ROLLBACK"));
  loadMaintenance(&pool, 0);
  EXPECT_EQ(planned("planned_type='EXEC'"), 1);
  EXPECT_EQ(planned(), 2);
}

TEST_F(PlannerTest, LostDatabaseStillThrows) {
  long s = service();
  conf(s, "EXEC", kNow, "01:00:00", "1 day");
  exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() "
      "AND pid <> pg_backend_pid()");
  // Only from another database: a session cannot forbid connections to its own.
  PgConn admin(PQconnectdb((baseConninfo() + " dbname=postgres").c_str()));
  PQclear(PQexec(admin.get(), ("ALTER DATABASE " + dbname() + " ALLOW_CONNECTIONS false").c_str()));
  exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() "
      "AND pid <> pg_backend_pid()");
  EXPECT_THROW(loadMaintenance(pool_.get(), 0), PostgresqlException);
  PQclear(PQexec(admin.get(), ("ALTER DATABASE " + dbname() + " ALLOW_CONNECTIONS true").c_str()));
}

}  // namespace
