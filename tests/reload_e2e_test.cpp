// The running daemon picks up what other tools write into the database: new, changed and
// deleted services, maintenance configurations; it stops promptly during a long reload period
// and survives the loss of its reload connection.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/daemon_runner.h"
#include "tests/support/pg_test.h"
#include "tests/support/temp_dir.h"

namespace {

const int kStartMs = 30000;  // start-up sleeps 5 s by design
const int kWaitMs = 20000;

class ReloadE2eTest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    device_ = addDevice();
    // Appends its arguments to a file, one line per run.
    plugin_ =
        addPlugin(dir_.script("record", "echo \"$*\" >> " + argsPath() + "\necho OK\nexit 0\n"));
  }

  DaemonConfig config(int interval_check_update = 1) {
    DaemonConfig c;
    c.dbname = dbname();
    c.interval_check_update = interval_check_update;
    return c;
  }
  std::string argsPath() const { return dir_.file("args.txt"); }
  std::string lastArgs() const {
    std::istringstream in(readFile(argsPath()));
    std::string line, last;
    while (std::getline(in, line)) last = line;
    return last;
  }
  int runs() const {
    std::string text = readFile(argsPath());
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
  }
  // Backend of the daemon's reload connection: the one whose last statement is one of the
  // reload thread's (the workers' statements touch neither maintenance nor change requests).
  std::string reloadBackend() {
    std::string pid;
    waitFor(
        [&] {
          pid = scalar(
              "SELECT pid FROM pg_stat_activity WHERE datname=current_database() AND "
              "pid <> pg_backend_pid() AND backend_type='client backend' AND (query ILIKE "
              "'%maintenance%' OR query ILIKE '%pending%' OR query ILIKE '%service_delete%')");
          return !pid.empty();
        },
        kWaitMs);
    return pid;
  }
  bool started(DaemonProcess& d) { return d.waitForLog("MAVO was starting....", kStartMs); }

  TempDir dir_;
  long device_ = 0, plugin_ = 0;
};

TEST_F(ReloadE2eTest, AddedChangedAndDeletedServicesReachTheSchedule) {
  DaemonProcess d(config(), dir_.path());
  ASSERT_TRUE(started(d)) << d.log() << readFile(d.stdoutPath());

  long s = addService("added", plugin_, device_, 1000, "first v1");
  exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(s) + ", 'ADD')");
  EXPECT_TRUE(
      waitFor([&] { return stored(s, "service_last_exec_time IS NOT NULL") == "t"; }, kWaitMs))
      << d.log();
  EXPECT_TRUE(waitFor([&] { return lastArgs() == "first v1"; }, kWaitMs)) << readFile(argsPath());
  EXPECT_TRUE(
      waitFor([&] { return rows("SELECT 1 FROM mavo_service_pending_execute") == 0; }, kWaitMs));

  exec("UPDATE mavo_services SET service_parameter='second v2' WHERE service_id=" +
       std::to_string(s));
  exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(s) + ", 'UPDATE')");
  EXPECT_TRUE(waitFor([&] { return lastArgs() == "second v2"; }, kWaitMs)) << readFile(argsPath());
  EXPECT_TRUE(
      waitFor([&] { return rows("SELECT 1 FROM mavo_service_pending_execute") == 0; }, kWaitMs));

  exec("UPDATE mavo_services SET service_delete=true WHERE service_id=" + std::to_string(s));
  EXPECT_TRUE(waitFor([&] { return rows("SELECT 1 FROM mavo_services") == 0; }, kWaitMs))
      << d.log();
  const int after_delete = runs();
  EXPECT_FALSE(waitFor([&] { return runs() > after_delete; }, 3000)) << "still running";
  EXPECT_NE(d.log().find("#INFO#supression du service " + std::to_string(s)), std::string::npos)
      << d.log();
  EXPECT_EQ(d.log().find("#ERR#"), std::string::npos) << d.log();
  EXPECT_EQ(d.stop(), 0);
}

// A service whose ADD request is still pending when the daemon starts is loaded at start and
// named again by the first reload cycle: it must still be scheduled once, run once per
// interval, open one incident when it fails, and stop running when it is deleted.
TEST_F(ReloadE2eTest, AddPendingAtStartIsScheduledOnce) {
  const std::string times = dir_.file("times.txt"), code = dir_.file("code");
  long plugin =
      addPlugin(dir_.script("timed", "/bin/date +%s.%N >> " + times + "\nc=$(/bin/cat " + code +
                                         " 2>/dev/null || echo 0)\necho state $c\n"
                                         "exit $c\n"));
  long s = addService("pending", plugin, device_, 2000);
  exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(s) + ", 'ADD')");
  DaemonProcess d(config(), dir_.path());
  ASSERT_TRUE(started(d)) << d.log() << readFile(d.stdoutPath());
  EXPECT_TRUE(
      waitFor([&] { return rows("SELECT 1 FROM mavo_service_pending_execute") == 0; }, kWaitMs));
  auto starts = [&] {
    std::vector<double> out;
    std::istringstream in(readFile(times));
    for (std::string line; std::getline(in, line);) out.push_back(std::stod(line));
    return out;
  };
  ASSERT_TRUE(waitFor([&] { return starts().size() >= 4; }, kWaitMs)) << d.log();
  dir_.write("code", "2\n");
  EXPECT_TRUE(waitFor([&] { return stored(s, "service_previous_state") == "2"; }, kWaitMs));
  const size_t failed_at = starts().size();
  ASSERT_TRUE(waitFor([&] { return starts().size() >= failed_at + 2; }, kWaitMs));
  // Two copies would run side by side (both due at start) and each open its own incident.
  const std::vector<double> t = starts();
  for (size_t i = 1; i < t.size(); ++i)
    EXPECT_GE(t[i] - t[i - 1], 1.0) << "runs " << i - 1 << " and " << i << " of a 2 s service";
  EXPECT_EQ(
      scalar("SELECT count(*) FROM mavo_error_happen WHERE happen_service_id=" + std::to_string(s)),
      "1");

  exec("UPDATE mavo_services SET service_delete=true WHERE service_id=" + std::to_string(s));
  EXPECT_TRUE(waitFor([&] { return stored(s, "count(*)") == "0"; }, kWaitMs)) << d.log();
  const size_t after_delete = starts().size();
  EXPECT_FALSE(waitFor([&] { return starts().size() > after_delete; }, 5000)) << "still running";
  EXPECT_EQ(d.stop(), 0);
}

TEST_F(ReloadE2eTest, MaintenanceConfigurationsArePlannedAndReachTheWorkers) {
  long exec_svc = addService("exec", plugin_, device_, 1000, "exec");
  long first_svc = addService("firsterror", plugin_, device_, 1000, "firsterror");
  long noexec_svc = addService("noexec", plugin_, device_, 1000, "noexec");
  auto conf = [&](long service_id, const std::string& type, const std::string& during,
                  const std::string& firsterror, const std::string& week) {
    return std::stol(
        scalar("INSERT INTO mavo_maintenance_configuration (maintenance_conf_type, "
               "maintenance_conf_start_date, maintenance_conf_service_id, maintenance_conf_during, "
               "maintenance_conf_recurring, maintenance_conf_during_firsterror, "
               "maintenance_week_selected) VALUES (" +
               quote(type) + ", date_trunc('second', now()), " + std::to_string(service_id) + ", " +
               quote(during) + ", '1 day', " + firsterror + ", " + quote(week) +
               ") RETURNING maintenance_conf_id"));
  };
  const long exec_conf = conf(exec_svc, "EXEC", "01:30:00", "NULL", "");
  const long first_conf = conf(first_svc, "FIRSTERROR", "02:00:00", "'00:30:00'", "");
  const long noexec_conf = conf(noexec_svc, "NOEXEC", "00:45:00", "NULL", "2");
  const std::string start = scalar(
      "SELECT maintenance_conf_start_date FROM "
      "mavo_maintenance_configuration WHERE maintenance_conf_id=" +
      std::to_string(exec_conf));

  DaemonProcess d(config(), dir_.path());
  ASSERT_TRUE(started(d)) << d.log() << readFile(d.stdoutPath());
  EXPECT_TRUE(waitFor([&] { return rows("SELECT 1 FROM mavo_maintenance_planned") == 3; }, kWaitMs))
      << d.log();

  auto planned = [&](long service_id, const std::string& expr) {
    return scalar("SELECT " + expr + " FROM mavo_maintenance_planned WHERE planned_service_id=" +
                  std::to_string(service_id));
  };
  auto interval = [&](const std::string& text) { return scalar("SELECT interval '" + text + "'"); };
  EXPECT_EQ(planned(exec_svc, "planned_type"), "EXEC");
  EXPECT_EQ(planned(exec_svc, "planned_start"), start);
  EXPECT_EQ(planned(exec_svc, "planned_end - planned_start"), interval("01:30:00"));
  EXPECT_EQ(planned(exec_svc, "planned_during"), "90");
  EXPECT_EQ(planned(first_svc, "planned_end - planned_start"), interval("02:00:00"));
  EXPECT_EQ(planned(first_svc, "planned_during"), "30");
  EXPECT_EQ(planned(noexec_svc, "planned_during"), "45");

  auto advanced = [&](long conf_id) {
    return scalar("SELECT maintenance_conf_start_date - " + quote(start) +
                  "::timestamp FROM mavo_maintenance_configuration WHERE maintenance_conf_id=" +
                  std::to_string(conf_id));
  };
  EXPECT_EQ(advanced(exec_conf), interval("1 day"));
  EXPECT_EQ(advanced(first_conf), interval("1 day"));
  // Week 2, on the start's weekday and at its time: the first day a whole number of weeks later
  // that is day 8 to 14 of its month.
  EXPECT_EQ(advanced(noexec_conf),
            scalar("SELECT min(s) - " + quote(start) + "::timestamp FROM generate_series(" +
                   quote(start) + "::timestamp + interval '7 days', " + quote(start) +
                   "::timestamp + interval '63 days', interval '7 days') s "
                   "WHERE extract(day FROM s) BETWEEN 8 AND 14"));

  // EXEC: the service runs on and its stored state is the maintenance state.
  EXPECT_TRUE(waitFor([&] { return stored(exec_svc, "service_previous_state") == "5"; }, kWaitMs))
      << d.log();
  // FIRSTERROR: runs normally while it succeeds.
  EXPECT_EQ(stored(first_svc, "service_previous_state"), "0");
  EXPECT_EQ(d.stop(), 0);
}

TEST_F(ReloadE2eTest, SigtermEndsTheDaemonDuringALongReloadPeriod) {
  DaemonProcess d(config(300), dir_.path());
  ASSERT_TRUE(started(d)) << d.log() << readFile(d.stdoutPath());
  // The first cycle runs at once; then the reload thread sleeps for 300 s.
  ASSERT_TRUE(waitFor(
      [&] {
        const std::string log = d.log();
        size_t first = log.find("#INFO#script reload successful");
        return first != std::string::npos &&
               log.find("#INFO#script reload successful", first + 1) != std::string::npos;
      },
      kWaitMs))
      << d.log();
  EXPECT_EQ(d.stop(10000), 0) << d.log();
  EXPECT_NE(d.log().find("MAVO is stopping...."), std::string::npos) << d.log();
}

// A broken reload connection is re-established and reloading goes on; when the database
// cannot be reached again, only the reload thread ends and the workers go on.
TEST_F(ReloadE2eTest, ReloadThreadSurvivesALostDatabase) {
  long s = addService("running", plugin_, device_, 1000, "running");
  DaemonProcess d(config(), dir_.path());
  ASSERT_TRUE(started(d)) << d.log() << readFile(d.stdoutPath());

  const std::string first = reloadBackend();
  ASSERT_FALSE(first.empty()) << "no reload connection found";
  exec("SELECT pg_terminate_backend(" + first + ")");
  EXPECT_TRUE(d.waitForLog("#INFO#database connection re-established", kWaitMs)) << d.log();
  long added = addService("added", plugin_, device_, 1000, "added");
  exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(added) + ", 'ADD')");
  EXPECT_TRUE(
      waitFor([&] { return stored(added, "service_last_exec_time IS NOT NULL") == "t"; }, kWaitMs))
      << d.log();

  const std::string backend = reloadBackend();
  ASSERT_FALSE(backend.empty()) << "no reload connection found";
  {
    // Only from another database: a session cannot forbid connections to its own.
    PgConn admin(PQconnectdb((baseConninfo() + " dbname=postgres").c_str()));
    PgResult(PQexec(admin.get(),
                    ("ALTER DATABASE " + dbname() + " WITH ALLOW_CONNECTIONS false").c_str()));
  }
  exec("SELECT pg_terminate_backend(" + backend + ")");
  EXPECT_TRUE(d.waitForLog("#ERR#Connection to database Administration failed:  ", kWaitMs))
      << d.log();
  EXPECT_TRUE(d.running());
  // The workers go on: the service keeps running and storing its state.
  exec("UPDATE mavo_services SET service_last_exec_time=NULL WHERE service_id=" +
       std::to_string(s));
  EXPECT_TRUE(
      waitFor([&] { return stored(s, "service_last_exec_time IS NOT NULL") == "t"; }, kWaitMs));
  // Once the database is back, a change request made after the outage is applied.
  {
    PgConn admin(PQconnectdb((baseConninfo() + " dbname=postgres").c_str()));
    PgResult(PQexec(admin.get(),
                    ("ALTER DATABASE " + dbname() + " WITH ALLOW_CONNECTIONS true").c_str()));
  }
  long late = addService("late", plugin_, device_, 1000, "late");
  exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(late) + ", 'ADD')");
  EXPECT_TRUE(
      waitFor([&] { return stored(late, "service_last_exec_time IS NOT NULL") == "t"; }, kWaitMs))
      << d.log();
  EXPECT_EQ(d.stop(), 0);
}

}  // namespace
