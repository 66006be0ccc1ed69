// Real database faults under a running daemon: a server stopped and started again, a server
// that stops answering without closing anything (a proxy that stops passing bytes), another
// session holding a service's row lock, a read-only period, a failover to a promoted streaming
// standby, and SIGTERM during an outage. Nothing may be lost, no core may stall, and SIGTERM
// must end the daemon. Each test runs its own cluster, since it breaks it.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "tests/support/daemon_runner.h"
#include "tests/support/pg_test.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

const std::string kPgTmp = std::string(MAVO_SOURCE_DIR) + "/tests/support/pg_tmp.sh";
const char kDummy[] = "/usr/lib/nagios/plugins/check_dummy";
const int kTimeout = 2;  // PGSQL_timeout of these tests, seconds
// SIGTERM ends the daemon within PGSQL_timeout + 5 s; the test allows more on a loaded machine.
const int kStopMs = (kTimeout + 5 + 10) * 1000;

class OutageTest : public PgTest {
 protected:
  void SetUp() override {
    cluster_ = std::string("/tmp/mavo-outage-") + std::to_string(getpid());
    ASSERT_EQ(pg("start"), 0);
    setenv("TEST_PG_DIR", cluster_.c_str(), 1);
    PgTest::SetUp();
    device_ = addDevice();
    config_.dbname = dbname();
    config_.connections = 1;
    config_.extra_postgresql = {"PGSQL_timeout=" + std::to_string(kTimeout)};
  }
  void TearDown() override {
    PgTest::TearDown();
    pg("stop");
    if (!standby_.empty()) pg("stop", standby_);
  }
  int pg(const std::string& cmd, const std::string& dir = "") {
    return system(
        (kPgTmp + " " + (dir.empty() ? cluster_ : dir) + " " + cmd + " >/dev/null").c_str());
  }
  // First column of the first row of sql, on a new session of the test's database on the
  // server of dir (the fixture's own session may have died with the server); "" when the
  // server does not answer.
  std::string q(const std::string& sql, const std::string& dir = "") {
    std::string base = readFile((dir.empty() ? cluster_ : dir) + "/conninfo");
    if (!base.empty() && base.back() == '\n') base.pop_back();
    PgConn conn(PQconnectdb((base + " dbname=" + dbname() + " connect_timeout=5").c_str()));
    if (PQstatus(conn.get()) != CONNECTION_OK) return "";
    PgResult r(PQexec(conn.get(), sql.c_str()));
    return PQntuples(r.get()) > 0 ? std::string(PQgetvalue(r.get(), 0, 0)) : std::string();
  }
  // A plugin whose exit code (and state) is read from the file code_<name> (0 when missing);
  // every run appends the service's name, its code and the time to the file runs.
  long switchable(const std::string& name) {
    if (switch_plugin_ == 0)
      switch_plugin_ = addPlugin(dir_.script(
          "switch",
          "c=$(/bin/cat " + dir_.path() +
              "/code_$1 2>/dev/null || /bin/echo 0)\n/bin/echo $1 $c $(/bin/date +%s) >> " +
              dir_.file("runs") + "\n/bin/echo state $c\nexit $c\n"));
    return addService(name, switch_plugin_, device_, 1000, name);
  }
  void setCode(const std::string& name, int code) {
    dir_.write("code_" + name, std::to_string(code) + "\n");
  }
  int runs(const std::string& name) { return static_cast<int>(runTimes(name).size()); }
  // The times (seconds) of the runs of a switchable service that exited with code (any: -1).
  std::vector<long> runTimes(const std::string& name, int code = -1) {
    std::istringstream in(readFile(dir_.file("runs")));
    std::vector<long> at;
    std::string n;
    int c;
    long t;
    while (in >> n >> c >> t)
      if (n == name && (code < 0 || c == code)) at.push_back(t);
    return at;
  }
  std::string column(long id, const std::string& col, const std::string& dir = "") {
    return q("SELECT " + col + " FROM mavo_services WHERE service_id=" + std::to_string(id), dir);
  }
  bool allStored(const std::vector<long>& ids) {
    for (long id : ids)
      if (column(id, "service_last_exec_time IS NOT NULL") != "t") return false;
    return true;
  }
  std::string openIncidents(long id, const std::string& dir = "") {
    return q(
        "SELECT count(*) FROM mavo_error_happen WHERE happen_acquitte=0 AND "
        "happen_service_id=" +
            std::to_string(id),
        dir);
  }

  // A service that alternates CRITICAL and OK at every run and notes each result outside the
  // database, in the file results.
  long flipService() {
    const std::string results = dir_.file("results");
    const std::string flip = dir_.script(
        "flip.sh",
        "f=" + dir_.file("n") + "\nn=$(/bin/cat $f 2>/dev/null || echo 0)\n" +
            "n=$((n+1)); echo $n > $f\nif [ $((n % 2)) = 1 ]; then echo CRIT $n; echo 2 " + ">> " +
            results + "; exit 2; fi\necho OK $n; echo 0 >> " + results + "; exit 0\n");
    return addService("flip", addPlugin(flip), device_, 1000);
  }
  // Every change to CRITICAL that the flip service reported has its incident in the database
  // of the server of dir, all but the last acknowledged, and its stored state is its last
  // result.
  void expectEveryChangeStored(long svc, const std::string& log, const std::string& dir = "") {
    std::istringstream in(readFile(dir_.file("results")));
    int criticals = 0;
    std::string last;
    for (std::string r; std::getline(in, r);) {
      if (r == "2") ++criticals;
      last = r;
    }
    EXPECT_EQ(
        q("SELECT count(*) FROM mavo_error_happen WHERE happen_service_id=" + std::to_string(svc),
          dir),
        std::to_string(criticals))
        << log;
    EXPECT_EQ(openIncidents(svc, dir), last == "2" ? "1" : "0");
    EXPECT_EQ(column(svc, "service_previous_state", dir), last);
  }

  std::string cluster_, standby_;
  TempDir dir_;
  DaemonConfig config_;
  long device_ = 0;
  long switch_plugin_ = 0;
};

TEST_F(OutageTest, NothingIsLostWhileTheServerIsDown) {
  long svc = flipService();
  long ok_plug = addPlugin(kDummy);
  long steady = addService("steady", ok_plug, device_, 1000, "1 steady");
  DaemonProcess d(config_, dir_.path());
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  ASSERT_TRUE(waitFor([&] { return rows("SELECT 1 FROM mavo_error_happen") > 0; }, 15000));

  ASSERT_EQ(pg("pause"), 0);
  usleep(6 * 1000 * 1000);  // several runs of both services while the server is down
  ASSERT_EQ(pg("resume"), 0);

  // A change request made after the outage is applied.
  long late =
      std::stol(q("INSERT INTO mavo_services (service_name, service_plugin_id, "
                  "service_device_id, service_interval_time, service_parameter) VALUES ('late', " +
                  std::to_string(ok_plug) + ", " + std::to_string(device_) +
                  ", 1000, '0 late') RETURNING service_id"));
  q("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(late) + ", 'ADD')");
  EXPECT_TRUE(
      waitFor([&] { return column(late, "service_last_exec_time IS NOT NULL") == "t"; }, 20000))
      << d.log();
  EXPECT_TRUE(d.running());
  EXPECT_EQ(d.stop(), 0);

  expectEveryChangeStored(svc, d.log());
  EXPECT_EQ(column(steady, "service_previous_state"), "1");
  EXPECT_NE(d.log().find("#ERR#database unreachable: results are kept in memory"),
            std::string::npos);
  EXPECT_NE(d.log().find("#INFO#database back: "), std::string::npos) << d.log();
}

// The server stops answering without closing anything, for longer than the deadline: plugins
// keep running on every core, a change made meanwhile is stored with its incident once it
// answers again, and SIGTERM during a hang ends the daemon.
TEST_F(OutageTest, HungServerStallsNoCoreAndLosesNothing) {
  TcpProxy proxy(std::stoi(conninfoValue("port")));
  config_.cores = 2;
  config_.threads = 2;
  config_.connections = 2;
  config_.host = "127.0.0.1";
  config_.port = std::to_string(proxy.port());
  std::vector<long> ids;
  for (const char* name : {"s0", "s1", "s2", "s3"}) ids.push_back(switchable(name));
  DaemonProcess d(config_, dir_.path());
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  ASSERT_TRUE(waitFor([&] { return allStored(ids); }, 20000)) << d.log();

  proxy.hang();
  std::map<std::string, int> before;
  for (const char* name : {"s0", "s1", "s2", "s3"}) before[name] = runs(name);
  setCode("s1", 2);
  usleep(4 * kTimeout * 1000 * 1000);
  for (const char* name : {"s0", "s1", "s2", "s3"})
    EXPECT_GE(runs(name) - before[name], 3) << name << " hardly ran during the hang\n" << d.log();
  EXPECT_EQ(column(ids[1], "service_previous_state"), "0");
  proxy.resume();

  EXPECT_TRUE(waitFor(
      [&] {
        return column(ids[1], "service_previous_state") == "2" && openIncidents(ids[1]) == "1";
      },
      30000))
      << d.log();
  EXPECT_EQ(count(d.log(), "no answer from the database within " + std::to_string(kTimeout)) > 0,
            true)
      << d.log();
  // Written once the server answers again, the incident carries the time its run ended.
  const std::vector<long> failed = runTimes("s1", 2);
  ASSERT_FALSE(failed.empty());
  const long stored_at =
      std::stol(q("SELECT extract(epoch from happen_timestamp::timestamptz)::bigint FROM "
                  "mavo_error_happen WHERE "
                  "happen_service_id=" +
                  std::to_string(ids[1])));
  EXPECT_LE(std::abs(stored_at - failed.front()), 2)
      << "incident stored at " << stored_at << ", its run at " << failed.front();

  proxy.hang();
  usleep(1500 * 1000);
  EXPECT_EQ(d.stop(kStopMs), 0) << d.log();
  EXPECT_NE(d.log().find("results not written to the database"), std::string::npos) << d.log();
  EXPECT_NE(d.log().find("#INFO#MAVO is stopping...."), std::string::npos);
}

// Another session holds one service's row lock: the core's other services keep storing their
// results, the locked one is stored once the lock goes, and SIGTERM still ends the daemon.
TEST_F(OutageTest, LockedRowDelaysOnlyItsOwnService) {
  config_.threads = 2;
  config_.connections = 2;
  std::vector<long> ids;
  for (const char* name : {"s0", "s1", "s2", "s3"}) ids.push_back(switchable(name));
  DaemonProcess d(config_, dir_.path());
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  ASSERT_TRUE(waitFor([&] { return allStored(ids); }, 20000)) << d.log();

  PgConn locker(PQconnectdb(conninfo().c_str()));
  ASSERT_EQ(PQstatus(locker.get()), CONNECTION_OK);
  auto on = [&](const std::string& sql) { PgResult(PQexec(locker.get(), sql.c_str())); };
  const std::string locked_before = column(ids[0], "service_last_exec_time");
  on("BEGIN");
  on("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(ids[0]) + " FOR UPDATE");
  std::map<long, std::set<std::string>> stored_times;
  for (int i = 0; i < 4 * kTimeout * 4; ++i) {  // 4 deadlines, polled every 250 ms
    for (size_t k = 1; k < ids.size(); ++k)
      stored_times[ids[k]].insert(column(ids[k], "service_last_exec_time"));
    usleep(250 * 1000);
  }
  for (size_t k = 1; k < ids.size(); ++k)
    EXPECT_GE(stored_times[ids[k]].size(), 3u)
        << "service " << ids[k] << " hardly stored during the lock\n"
        << d.log();
  EXPECT_EQ(column(ids[0], "service_last_exec_time"), locked_before);
  on("COMMIT");
  EXPECT_TRUE(
      waitFor([&] { return column(ids[0], "service_last_exec_time") != locked_before; }, 30000))
      << d.log();
  EXPECT_NE(d.log().find("kept for later"), std::string::npos) << d.log();

  on("BEGIN");
  on("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(ids[0]) + " FOR UPDATE");
  usleep(1500 * 1000);
  EXPECT_EQ(d.stop(kStopMs), 0) << d.log();
  on("ROLLBACK");
}

// A read-only period, as on a standby before its promotion: a change to CRITICAL made during it
// is stored with its incident afterwards.
TEST_F(OutageTest, ReadOnlyPeriodKeepsTheStateChangeAndItsIncident) {
  config_.threads = 2;
  long svc = switchable("s0");
  long other = switchable("s1");
  DaemonProcess d(config_, dir_.path());
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  ASSERT_TRUE(waitFor([&] { return allStored({svc, other}); }, 20000)) << d.log();

  exec("ALTER DATABASE " + dbname() + " SET default_transaction_read_only=on");
  exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname=current_database() "
      "AND application_name='mavoDaemon'");
  const int before = runs("s0");
  setCode("s0", 2);
  ASSERT_TRUE(waitFor([&] { return runs("s0") >= before + 3; }, 20000));
  EXPECT_EQ(column(svc, "service_previous_state"), "0");
  exec("ALTER DATABASE " + dbname() + " RESET default_transaction_read_only");

  EXPECT_TRUE(waitFor(
      [&] { return column(svc, "service_previous_state") == "2" && openIncidents(svc) == "1"; },
      30000))
      << d.log();
  EXPECT_EQ(d.stop(kStopMs), 0) << d.log();
}

// A failover to a streaming standby: the daemon names both servers and asks for the one that
// takes writes. The primary stops, the standby is promoted: every change and incident made
// around it is stored on the new primary, and a change request written there is applied.
TEST_F(OutageTest, FailoverToAPromotedStandbyLosesNothing) {
  long svc = flipService();
  long ok_plug = addPlugin(kDummy);
  standby_ = cluster_ + "-standby";
  ASSERT_EQ(pg("standby " + cluster_, standby_), 0);
  const std::string standby_port = readFile(standby_ + "/port");
  config_.host = "127.0.0.1,127.0.0.1";
  config_.port = conninfoValue("port") + "," + standby_port.substr(0, standby_port.find('\n'));
  config_.extra_postgresql.push_back("PGSQL_options=target_session_attrs=read-write");
  DaemonProcess d(config_, dir_.path());
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  ASSERT_TRUE(waitFor([&] { return rows("SELECT 1 FROM mavo_error_happen") > 0; }, 15000));

  ASSERT_EQ(pg("pause"), 0);
  usleep(3 * 1000 * 1000);  // runs while no server takes writes
  ASSERT_EQ(pg("promote", standby_), 0);

  long late =
      std::stol(q("INSERT INTO mavo_services (service_name, service_plugin_id, service_device_id, "
                  "service_interval_time, service_parameter) VALUES ('late', " +
                      std::to_string(ok_plug) + ", " + std::to_string(device_) +
                      ", 1000, '0 late') RETURNING service_id",
                  standby_));
  q("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(late) + ", 'ADD')",
    standby_);
  EXPECT_TRUE(waitFor(
      [&] { return column(late, "service_last_exec_time IS NOT NULL", standby_) == "t"; }, 30000))
      << d.log();
  EXPECT_EQ(d.stop(kStopMs), 0) << d.log();
  expectEveryChangeStored(svc, d.log(), standby_);
}

// SIGTERM while the server is down: the daemon still stops with status 0 and says how many
// results it could not write.
TEST_F(OutageTest, SigtermDuringAnOutageCountsWhatIsNotWritten) {
  long svc = switchable("s0");
  DaemonProcess d(config_, dir_.path());
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  ASSERT_TRUE(waitFor([&] { return allStored({svc}); }, 20000)) << d.log();
  ASSERT_EQ(pg("pause"), 0);
  const int before = runs("s0");
  ASSERT_TRUE(waitFor([&] { return runs("s0") >= before + 2; }, 20000));
  EXPECT_EQ(d.stop(kStopMs), 0) << d.log();
  EXPECT_NE(d.log().find("#ERR#stopping with "), std::string::npos) << d.log();
  EXPECT_NE(d.log().find("results not written to the database (1 state updates, 0 "),
            std::string::npos)
      << d.log();
}

// Two daemons share the identifier (cluster_lease=2) while the server is down for longer than
// the lease: each stops running checks once its lease has ended on its own clock, and when the
// server is back they join again and the services run again within the lease and an interval.
TEST_F(OutageTest, SharingDaemonsStopAnOutageLongerThanTheLeaseAndJoinAgain) {
  std::vector<std::string> names;
  for (int i = 0; i < 6; ++i) {
    names.push_back("s" + std::to_string(i));
    switchable(names.back());
  }
  config_.extra_mavo = {"cluster_lease=2"};
  std::vector<std::unique_ptr<DaemonProcess>> members;
  for (const char* node : {"m1", "m2"}) {
    const std::string dir = dir_.file(node);
    mkdir(dir.c_str(), 0755);
    DaemonConfig c = config_;
    c.extra_mavo.push_back(std::string("cluster_node=") + node);
    members.push_back(std::make_unique<DaemonProcess>(c, dir));
  }
  for (auto& m : members) ASSERT_TRUE(m->waitForLog("MAVO was starting....", 30000)) << m->log();
  auto allRan = [&](time_t since) {
    for (const std::string& n : names) {
      const std::vector<long> at = runTimes(n);
      if (at.empty() || at.back() < since) return false;
    }
    return true;
  };
  ASSERT_TRUE(waitFor([&] { return allRan(time(nullptr)); }, 30000));

  ASSERT_EQ(pg("pause"), 0);
  const time_t paused = time(nullptr);
  usleep(8 * 1000 * 1000);
  // From a lease (and the second of the times' resolution) after the server went away, nothing
  // ran.
  for (const std::string& n : names)
    EXPECT_LT(runTimes(n).back(), paused + 2 + 2) << n << " ran while its daemon was fenced";
  for (auto& m : members)
    EXPECT_NE(m->log().find("cluster: the lease of "), std::string::npos) << m->log();
  ASSERT_EQ(pg("resume"), 0);
  const time_t resumed = time(nullptr);
  EXPECT_TRUE(waitFor([&] { return allRan(resumed); }, 30000));
  for (const std::string& n : names) {
    const std::vector<long> at = runTimes(n);
    long first = 0;
    for (long t : at)
      if (t >= resumed && first == 0) first = t;
    // The lease and an interval, with room for the reconnection and a loaded machine.
    EXPECT_LE(first - resumed, 2 + 1 + kTimeout + 4) << n;
  }
  for (auto& m : members) {
    EXPECT_EQ(m->stop(kStopMs), 0) << m->log();
    EXPECT_GE(count(m->log(), " joined identifier 0"), 2) << m->log();
  }
}

}  // namespace
