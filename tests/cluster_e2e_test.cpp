// Several daemons of one identifier sharing its services (MAVO/cluster_lease): real daemons on
// the test machine, each with its configuration, against one server. A plugin notes, for each
// run, the service, the daemon that ran it (its parent) and the time. Members join, are killed,
// frozen and thawed, and stopped, while change requests and deletions come in: no service runs
// on two daemons within its interval, each runs again soon on another member, the load is
// shared, a CRITICAL service keeps its one incident, and a stale member writes nothing.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cluster/cluster_state.h"
#include "db/pg_handles.h"
#include "tests/support/daemon_runner.h"
#include "tests/support/pg_test.h"
#include "tests/support/seconds.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

const int kLease = 3;     // cluster_lease of these tests, seconds
const double kSlack = 2;  // for a loaded machine, on top of what the daemon promises

struct PluginRun {
  std::string service;
  int pid;
  double at;
};

class ClusterE2ETest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    device_ = addDevice();
    plugin_ = addPlugin(dir_.script(
        "note", "c=$(/bin/cat " + dir_.path() + "/code_$1 2>/dev/null || /bin/echo 0)\n" +
                    "/bin/echo \"$1 $PPID $(/bin/date +%s.%N)\" >> " + dir_.file("runs") +
                    "\n/bin/echo \"state $c\"\nexit $c\n"));
    // Any write that moves a service's last run back in time is noted.
    exec("CREATE TABLE backwards (id int, was timestamp, became timestamp)");
    exec(
        "CREATE FUNCTION note_backwards() RETURNS trigger AS $$ BEGIN IF "
        "NEW.service_last_exec_time < OLD.service_last_exec_time THEN INSERT INTO backwards "
        "VALUES (OLD.service_id, OLD.service_last_exec_time, NEW.service_last_exec_time); END IF; "
        "RETURN NEW; END $$ LANGUAGE plpgsql");
    exec(
        "CREATE TRIGGER note_backwards BEFORE UPDATE ON mavo_services FOR EACH ROW EXECUTE "
        "FUNCTION note_backwards()");
  }

  long service(const std::string& name, int interval_ms = 1000) {
    const long id = addService(name, plugin_, device_, interval_ms, name);
    interval_s_[name] = interval_ms / 1000.0;
    return id;
  }
  void setCode(const std::string& name, int code) {
    dir_.write("code_" + name, std::to_string(code) + "\n");
  }

  // Starts member name (its own folder and configuration), called node among its peers (name
  // when empty).
  DaemonProcess& start(const std::string& name, const std::string& node = "") {
    const std::string dir = dir_.file(name);
    mkdir(dir.c_str(), 0755);
    DaemonConfig c;
    c.dbname = dbname();
    c.threads = 4;
    c.connections = 2;
    c.interval_check_update = 1;
    c.extra_mavo = {"cluster_lease=" + std::to_string(kLease),
                    "cluster_node=" + (node.empty() ? name : node)};
    c.extra_postgresql = {"PGSQL_timeout=2"};
    daemons_[name] = std::make_unique<DaemonProcess>(c, dir);
    return *daemons_[name];
  }
  DaemonProcess& d(const std::string& name) { return *daemons_.at(name); }

  std::vector<PluginRun> runs() {
    std::vector<PluginRun> out;
    std::istringstream in(readFile(dir_.file("runs")));
    for (PluginRun r; in >> r.service >> r.pid >> r.at;) out.push_back(r);
    return out;
  }
  // The daemon that ran service last (0: none yet).
  int lastRunner(const std::string& service) {
    int pid = 0;
    for (const PluginRun& r : runs())
      if (r.service == service) pid = r.pid;
    return pid;
  }
  // The services each daemon ran since from.
  std::map<int, std::set<std::string>> runnersSince(double from) {
    std::map<int, std::set<std::string>> out;
    for (const PluginRun& r : runs())
      if (r.at >= from) out[r.pid].insert(r.service);
    return out;
  }
  // Each service that pid ran last before at runs on another daemon within bound seconds.
  void expectTakenOver(int pid, double at, double bound, const std::string& what) {
    std::map<std::string, int> last;
    std::map<std::string, double> next;
    for (const PluginRun& r : runs()) {
      if (r.at < at) last[r.service] = r.pid;
      if (r.at >= at && r.pid != pid && next.count(r.service) == 0) next[r.service] = r.at;
    }
    int moved = 0;
    for (const auto& [service, runner] : last) {
      if (runner != pid || interval_s_.count(service) == 0) continue;
      ++moved;
      ASSERT_TRUE(next.count(service) != 0) << service << " never ran again after " << what;
      EXPECT_LE(next[service] - at, bound) << service << " after " << what;
    }
    EXPECT_GT(moved, 0) << what << ": the member ran nothing";
  }
  // No service ran twice (on one daemon or two) within its interval.
  void expectOneRunner() {
    std::map<std::string, std::vector<PluginRun>> by;
    for (const PluginRun& r : runs()) by[r.service].push_back(r);
    for (auto& [service, list] : by) {
      auto interval = interval_s_.find(service);
      if (interval == interval_s_.end()) continue;
      std::sort(list.begin(), list.end(),
                [](const PluginRun& a, const PluginRun& b) { return a.at < b.at; });
      for (size_t k = 1; k < list.size(); ++k)
        EXPECT_GE(list[k].at - list[k - 1].at, interval->second - 0.1)
            << service << " ran on " << list[k - 1].pid << " then on " << list[k].pid << " at "
            << std::fixed << list[k].at;
    }
  }
  bool eachRan(const std::set<std::string>& services, double since) {
    std::set<std::string> seen;
    for (const PluginRun& r : runs())
      if (r.at >= since) seen.insert(r.service);
    return std::includes(seen.begin(), seen.end(), services.begin(), services.end());
  }

  TempDir dir_;
  long device_ = 0, plugin_ = 0;
  std::map<std::string, double> interval_s_;
  std::map<std::string, std::unique_ptr<DaemonProcess>> daemons_;
};

// Three members join, share the services, take change requests and a deletion, lose one to
// SIGKILL, one to a freeze (which wakes up fenced and joins again) and one to SIGTERM.
TEST_F(ClusterE2ETest, MembersShareTakeOverAndHandOverWithOneRunner) {
  std::set<std::string> all;
  for (int i = 0; i < 45; ++i) {
    service("s" + std::to_string(i));
    all.insert("s" + std::to_string(i));
  }
  const long crit = service("crit");
  const long flip = service("flip");
  all.insert("crit");
  all.insert("flip");
  setCode("crit", 2);
  const std::string alerts = dir_.file("alerts");
  addResponse(crit, addProgram(dir_.script("alert", "/bin/echo \"$1\" >> " + alerts + "\n")),
              "$ERROR", false, false, true, false);
  // Windows planned by whichever member owns each service, once.
  for (int i = 0; i < 6; ++i)
    exec(
        "INSERT INTO mavo_maintenance_configuration (maintenance_conf_type, "
        "maintenance_conf_start_date, maintenance_conf_service_id, maintenance_conf_during, "
        "maintenance_conf_recurring) SELECT 'EXEC', now() + interval '50 min', service_id, "
        "'00:10:00', '1 day' FROM mavo_services WHERE service_name='s" +
        std::to_string(i) + "'");

  start("n1");
  ASSERT_TRUE(d("n1").waitForLog("cluster: n1 took over 1024 buckets", 30000)) << d("n1").log();
  start("n2");
  start("n3");
  for (const char* n : {"n2", "n3"})
    ASSERT_TRUE(d(n).waitForLog("cluster: " + std::string(n) + " took over", 30000)) << d(n).log();
  // Shared: each runs between half and one and a half of its share, once the joins have settled
  // (while the last one takes its buckets over, the window still holds runs of the old owners).
  std::map<int, std::set<std::string>> share;
  const auto balanced = [&] {
    if (share.size() != 3) return false;
    for (const auto& [pid, services] : share)
      if (std::abs(services.size() - all.size() / 3.0) > all.size() / 6.0) return false;
    return true;
  };
  EXPECT_TRUE(waitFor(
      [&] {
        share = runnersSince(realNow() - 2.5);
        return balanced();
      },
      20000));
  for (const auto& [pid, services] : share)
    EXPECT_NEAR(services.size(), all.size() / 3.0, all.size() / 6.0) << pid;

  // An ADD, an UPDATE and a deletion reach the member that owns each service.
  const double changed = realNow();
  const long added = service("added");
  exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(added) + ", 'ADD')");
  exec("UPDATE mavo_services SET service_parameter='s1x' WHERE service_name='s1'");
  interval_s_["s1x"] = 1;
  exec(
      "INSERT INTO mavo_service_pending_execute SELECT service_id, 'UPDATE' FROM mavo_services "
      "WHERE service_name='s1'");
  exec("UPDATE mavo_services SET service_delete=true WHERE service_name='s2'");
  EXPECT_TRUE(waitFor(
      [&] {
        return eachRan({"added", "s1x"}, changed) &&
               rows("SELECT 1 FROM mavo_services WHERE service_name='s2'") == 0;
      },
      20000));
  all.insert("added");
  all.erase("s1");
  all.insert("s1x");
  all.erase("s2");
  interval_s_.erase("s1");  // its runs are noted as s1x now
  interval_s_.erase("s2");
  EXPECT_EQ(rows("SELECT 1 FROM mavo_service_pending_execute"), 0);

  // SIGKILL of the member that runs flip, which turns CRITICAL just then: its services run on
  // the others within the lease and their interval, and flip opens one incident.
  std::string killed;
  for (const auto& [name, daemon] : daemons_)
    if (daemon->pid() == lastRunner("flip")) killed = name;
  ASSERT_FALSE(killed.empty());
  setCode("flip", 2);
  const double kill_at = realNow();
  kill(d(killed).pid(), SIGKILL);
  usleep(static_cast<useconds_t>((kLease + 1 + kSlack + 1) * 1e6));
  expectTakenOver(d(killed).pid(), kill_at, kLease + 1 + 2 + kSlack, "SIGKILL");

  // The member that runs crit freezes past its lease, then wakes: the others run its services,
  // and it runs and writes nothing of them until it has joined again.
  std::string frozen;
  for (const auto& [name, daemon] : daemons_)
    if (name != killed && daemon->pid() == lastRunner("crit")) frozen = name;
  ASSERT_FALSE(frozen.empty());
  const double freeze_at = realNow();
  kill(d(frozen).pid(), SIGSTOP);
  usleep(static_cast<useconds_t>((kLease + 1 + kSlack + 2) * 1e6));
  expectTakenOver(d(frozen).pid(), freeze_at, kLease + 1 + 2 + kSlack, "SIGSTOP");
  kill(d(frozen).pid(), SIGCONT);
  EXPECT_TRUE(d(frozen).waitForLog("cluster: " + frozen + " joined identifier 0", 20000))
      << d(frozen).log();

  // A member stops: it hands its services over before it exits.
  std::string stopped;
  for (const auto& [name, daemon] : daemons_)
    if (name != killed && name != frozen) stopped = name;
  EXPECT_TRUE(
      waitFor([&] { return runnersSince(realNow() - 1.5).count(d(stopped).pid()); }, 10000));
  const int stopped_pid = d(stopped).pid();
  const double stop_at = realNow();
  EXPECT_EQ(d(stopped).stop(), 0) << d(stopped).log();
  EXPECT_NE(d(stopped).log().find("cluster: " + stopped + " left identifier 0"), std::string::npos);
  usleep(static_cast<useconds_t>((1 + 2 + kSlack + 1) * 1e6));
  expectTakenOver(stopped_pid, stop_at, 1 + 2 + kSlack, "SIGTERM");
  EXPECT_TRUE(eachRan(all, realNow() - 2.5)) << "a service is no longer run";
  EXPECT_EQ(d(frozen).stop(), 0) << d(frozen).log();

  expectOneRunner();
  EXPECT_EQ(rows("SELECT 1 FROM backwards"), 0) << "a last run moved back in time";
  // crit stayed CRITICAL throughout: its one incident and one alert; flip turned CRITICAL once.
  EXPECT_EQ(rows("SELECT 1 FROM mavo_error_happen WHERE happen_service_id=" + std::to_string(crit)),
            1);
  EXPECT_EQ(lines(readFile(alerts)).size(), 1u);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_error_happen WHERE happen_service_id=" + std::to_string(flip)),
            1);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_maintenance_planned"), 6);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_name='added'"), 1);
}

// A daemon whose name a live member has is refused, naming the key; one whose database lacks
// the tables of sql/cluster.sql too, naming the file.
TEST_F(ClusterE2ETest, ADuplicateNameOrMissingTablesAreRefused) {
  service("s");
  start("same");
  ASSERT_TRUE(d("same").waitForLog("cluster: same took over", 30000)) << d("same").log();
  DaemonProcess& twin = start("twin", "same");
  EXPECT_EQ(twin.wait(30000), 1);
  EXPECT_NE(readFile(twin.stdoutPath()).find("cluster_node"), std::string::npos)
      << readFile(twin.stdoutPath());
  EXPECT_EQ(d("same").stop(), 0);

  exec("DROP TABLE mavo_cluster_member");
  DaemonProcess& lacking = start("lacking");
  EXPECT_EQ(lacking.wait(30000), 1);
  EXPECT_NE(readFile(lacking.stdoutPath()).find("sql/cluster.sql"), std::string::npos)
      << readFile(lacking.stdoutPath());
}

// A write of a member that is still under way when its lease ends (a writer frozen between its
// statements: here another session holding that member's lock as its writes do) keeps its
// buckets from the member taking over until it ends.
TEST_F(ClusterE2ETest, ATakeoverWaitsForAWriteOfTheOldOwnerStillUnderWay) {
  for (int i = 0; i < 4; ++i) service("w" + std::to_string(i));
  start("old");
  ASSERT_TRUE(d("old").waitForLog("cluster: old took over 1024 buckets", 30000)) << d("old").log();
  PgConn writer(PQconnectdb(conninfo().c_str()));
  PQclear(PQexec(writer.get(), "BEGIN"));
  PgResult held(PQexec(writer.get(), ("SELECT pg_advisory_xact_lock_shared(" +
                                      std::to_string(memberLockKey(0, "old")) + ")")
                                         .c_str()));
  ASSERT_EQ(PQresultStatus(held.get()), PGRES_TUPLES_OK) << PQerrorMessage(writer.get());
  kill(d("old").pid(), SIGKILL);
  const double killed = realNow();
  start("new");
  ASSERT_TRUE(d("new").waitForLog("cluster: new joined", 30000)) << d("new").log();
  // Well past the old member's lease: still nothing taken, nothing run.
  sleep(kLease + 4);
  EXPECT_EQ(d("new").log().find("took over"), std::string::npos) << d("new").log();
  EXPECT_TRUE(runnersSince(killed + 1).empty());
  PQclear(PQexec(writer.get(), "ROLLBACK"));
  const double freed = realNow();
  EXPECT_TRUE(d("new").waitForLog("cluster: new took over 1024 buckets", 30000)) << d("new").log();
  EXPECT_TRUE(waitFor([&] { return eachRan({"w0", "w1", "w2", "w3"}, freed); }, 10000));
  EXPECT_EQ(d("new").stop(), 0);
}

}  // namespace
