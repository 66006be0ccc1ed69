// A real PostgreSQL outage under a running daemon: the server is stopped (fast shutdown) and
// started again. The daemon must not exit, every state change made during the outage must get
// its incident, and the reload thread must still apply a change request made afterwards.
// The test runs its own cluster, since it stops it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "tests/support/daemon_runner.h"
#include "tests/support/pg_test.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kPgTmp = std::string(MAVO_SOURCE_DIR) + "/tests/support/pg_tmp.sh";

class OutageTest : public PgTest {
 protected:
  void SetUp() override {
    cluster_ = std::string("/tmp/mavo-outage-") + std::to_string(getpid());
    ASSERT_EQ(pg("start"), 0);
    setenv("TEST_PG_DIR", cluster_.c_str(), 1);
    PgTest::SetUp();
  }
  void TearDown() override {
    PgTest::TearDown();
    pg("stop");
  }
  int pg(const std::string& cmd) {
    return system((kPgTmp + " " + cluster_ + " " + cmd + " >/dev/null").c_str());
  }
  std::string cluster_;
  TempDir dir_;
};

TEST_F(OutageTest, NothingIsLostWhileTheServerIsDown) {
  long dev = addDevice();
  // Alternates CRITICAL and OK at every run, and notes each result outside the database.
  std::string flip =
      dir_.script("flip.sh", "f=" + dir_.file("n") +
                                 "\n"
                                 "n=$(/bin/cat $f 2>/dev/null || echo 0)\n"
                                 "n=$((n+1)); echo $n > $f\n"
                                 "if [ $((n % 2)) = 1 ]; then echo CRIT $n; echo 2 >> " +
                                 dir_.file("results") +
                                 "; exit 2; fi\n"
                                 "echo OK $n; echo 0 >> " +
                                 dir_.file("results") + "; exit 0\n");
  long plug = addPlugin(flip);
  long svc = addService("flip", plug, dev, 1000);
  long ok_plug = addPlugin("/usr/lib/nagios/plugins/check_dummy");
  long steady = addService("steady", ok_plug, dev, 1000, "1 steady");
  DaemonConfig c;
  c.dbname = dbname();
  c.connections = 1;
  DaemonProcess d(c, dir_.path());
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  ASSERT_TRUE(waitFor([&] { return rows("SELECT 1 FROM mavo_error_happen") > 0; }, 15000));

  ASSERT_EQ(pg("pause"), 0);
  usleep(6 * 1000 * 1000);  // several runs of both services while the server is down
  ASSERT_EQ(pg("resume"), 0);
  // The fixture's own session died with the server: a fresh one on the same database.
  std::string db = dbname();
  PgConn conn(PQconnectdb((baseConninfo() + " dbname=" + db).c_str()));
  ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK);
  auto q = [&](const std::string& sql) {
    PgResult r(PQexec(conn.get(), sql.c_str()));
    return PQntuples(r.get()) > 0 ? std::string(PQgetvalue(r.get(), 0, 0)) : std::string();
  };

  // A change request made after the outage is applied.
  long late =
      std::stol(q("INSERT INTO mavo_services (service_name, service_plugin_id, "
                  "service_device_id, service_interval_time, service_parameter) VALUES "
                  "('late', " +
                  std::to_string(ok_plug) + ", " + std::to_string(dev) +
                  ", 1000, '0 late') RETURNING service_id"));
  q("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(late) + ", 'ADD')");
  EXPECT_TRUE(waitFor(
      [&] {
        return q("SELECT service_last_exec_time IS NOT NULL FROM mavo_services WHERE service_id=" +
                 std::to_string(late)) == "t";
      },
      20000))
      << d.log();
  EXPECT_TRUE(d.running());
  EXPECT_EQ(d.stop(), 0);

  // Every change to CRITICAL that the plugin reported has its incident, all but the last
  // acknowledged, and the stored state is the plugin's last result.
  std::istringstream in(readFile(dir_.file("results")));
  int criticals = 0;
  std::string last;
  for (std::string r; std::getline(in, r);) {
    if (r == "2") ++criticals;
    last = r;
  }
  const std::string sid = std::to_string(svc);
  EXPECT_EQ(q("SELECT count(*) FROM mavo_error_happen WHERE happen_service_id=" + sid),
            std::to_string(criticals))
      << d.log();
  EXPECT_EQ(q("SELECT count(*) FROM mavo_error_happen WHERE happen_acquitte=0 AND "
              "happen_service_id=" +
              sid),
            last == "2" ? "1" : "0");
  EXPECT_EQ(q("SELECT service_previous_state FROM mavo_services WHERE service_id=" + sid), last);
  EXPECT_EQ(q("SELECT service_previous_state FROM mavo_services WHERE service_id=" +
              std::to_string(steady)),
            "1");
  EXPECT_NE(d.log().find("#ERR#database unreachable: results are kept in memory"),
            std::string::npos);
  EXPECT_NE(d.log().find("#INFO#database back: "), std::string::npos) << d.log();
}

}  // namespace
