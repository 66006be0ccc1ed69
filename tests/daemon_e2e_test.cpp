// The daemon binary against a real database: services run at their interval with their states,
// outputs and incidents stored; state changes open and acknowledge incidents and start the
// alerting program; SIGTERM waits for the running plugin; a few hundred services keep their
// pace with none lost; logrotate, with the packaged entry, rotates the log under load.

#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/daemon_runner.h"
#include "tests/support/pg_test.h"
#include "tests/support/seconds.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

const char kDummy[] = "/usr/lib/nagios/plugins/check_dummy";
const int kStartMs = 30000;  // start-up sleeps 5 s before the first run

class DaemonE2ETest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    config.dbname = dbname();
    config.interval_check_update = 3600;  // only the reload cycle at start
    device = addDevice("host");
  }

  long addCheck(const std::string& name, const std::string& plugin, const std::string& parameter,
                int interval_ms = 1000) {
    return addService(name, addPlugin(plugin), device, interval_ms, parameter);
  }
  bool allRan(const std::vector<long>& ids) {
    for (long id : ids)
      if (stored(id, "service_last_exec_time IS NULL") != "f") return false;
    return true;
  }

  TempDir dir;
  DaemonConfig config;
  long device = 0;
};

TEST_F(DaemonE2ETest, ServicesStoreTheirStatesOutputsAndOneIncidentPerFailure) {
  struct Case {
    std::string plugin, parameter;
    int state;
    std::string output, error;  // error: "" for none
  } cases[] = {
      {kDummy, "0 fine", 0, "OK: fine\n", ""},
      {kDummy, "1 'half full'", 1, "WARNING: half full\n", "default_warning_error"},
      {kDummy, "2 down", 2, "CRITICAL: down\n", "default_critical_error"},
      {kDummy, "3 what", 3, "UNKNOWN: what\n", "default_unknow_error"},
      {dir.script("odd", "echo odd code\nexit 7\n"), "", 3, "odd code\n", "default_unknow_error"},
      {dir.script("quote", "echo \"it's \\\"quoted\\\"\"\nexit 1\n"), "", 1, "it's \"quoted\"\n",
       "default_warning_error"},
  };
  std::vector<long> ids;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    ids.push_back(addCheck("s" + std::to_string(i), cases[i].plugin, cases[i].parameter));
  const std::string counter = dir.file("runs");
  long counted =
      addCheck("counted", dir.script("count", "echo x >> " + counter + "\necho OK\n"), "");

  DaemonProcess daemon(config, dir.path());
  ASSERT_TRUE(waitFor([&] { return allRan(ids); }, kStartMs)) << daemon.log();
  // A few more intervals: unchanged states open no further incidents.
  ASSERT_TRUE(waitFor([&] { return lines(readFile(counter), true).size() >= 4; }, kStartMs))
      << daemon.log();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();

  EXPECT_EQ(stored(counted, "service_last_stdout"), "OK\n");
  for (size_t i = 0; i < ids.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.output);
    EXPECT_EQ(stored(ids[i], "service_previous_state"), std::to_string(c.state));
    EXPECT_EQ(stored(ids[i], "service_last_stdout"), c.output);
    const std::string where =
        " FROM mavo_error_happen WHERE happen_service_id=" + std::to_string(ids[i]);
    if (c.error.empty()) {
      EXPECT_EQ(rows("SELECT 1" + where), 0);
      continue;
    }
    EXPECT_EQ(rows("SELECT 1" + where), 1);
    EXPECT_EQ(scalar("SELECT e.error_name || ':' || h.happen_acquitte || ':' || h.happen_message "
                     "FROM mavo_error_happen h JOIN mavo_errors e ON e.error_id = "
                     "h.happen_error_id WHERE h.happen_service_id=" +
                     std::to_string(ids[i])),
              c.error + ":0:" + c.output);
  }
}

TEST_F(DaemonE2ETest, AlternatingServiceOpensAndAcknowledgesIncidentsAndAlerts) {
  const std::string state = dir.file("state");
  std::string flip = dir.script("flip", "if [ \"$(/bin/cat " + state +
                                            " 2>/dev/null)\" = 2 ]; then\n"
                                            "  echo 0 > " +
                                            state +
                                            "; echo OK back; exit 0\n"
                                            "fi\n"
                                            "echo 2 > " +
                                            state + "; echo CRITICAL gone; exit 2\n");
  const std::string alerts = dir.file("alerts");
  long program = addProgram(dir.script("alert", "echo \"$1\" >> " + alerts + "\n"));
  long id = addCheck("flip", flip, "");
  addResponse(id, program, "$ERROR", /*ok=*/true, false, /*critical=*/true, false);

  DaemonProcess daemon(config, dir.path());
  ASSERT_TRUE(waitFor([&] { return lines(readFile(alerts), true).size() >= 5; }, kStartMs))
      << daemon.log();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();

  // Incident n is announced when it opens and again when the recovery acknowledges it.
  std::vector<std::string> sent = lines(readFile(alerts), true);
  PgResult r = exec(
      "SELECT happen_id, happen_acquitte, e.error_name FROM mavo_error_happen h JOIN mavo_errors "
      "e ON e.error_id = h.happen_error_id WHERE happen_service_id=" +
      std::to_string(id) + " ORDER BY happen_id");
  const int opened = PQntuples(r.get());
  ASSERT_GE(opened, 3);
  ASSERT_LE(sent.size(), static_cast<size_t>(2 * opened));
  for (size_t i = 0; i < sent.size(); ++i)
    EXPECT_EQ(sent[i], PQgetvalue(r.get(), static_cast<int>(i / 2), 0)) << "alert " << i;
  for (int n = 0; n < opened; ++n) {
    EXPECT_STREQ(PQgetvalue(r.get(), n, 2), "default_critical_error");
    if (n + 1 < opened) {
      EXPECT_STREQ(PQgetvalue(r.get(), n, 1), "1") << "incident " << n;
    }
  }
  EXPECT_EQ(stored(id, "service_previous_state"), readFile(state).substr(0, 1));
}

// The plugin gets the device's community, SNMPv3 keys and "$AUTH_FILE_" values; the log (trace
// lines included) and the stored outputs show "***" in their place. A service name or an
// output with a line break writes no line of its own into the log.
TEST_F(DaemonE2ETest, SecretsStayOutOfTheLogAndStoredOutputsAndLogLinesStayLines) {
  const std::vector<std::string> secrets = {"s3cretCom", "t0kenV4l", "authK3y", "privP4ss"};
  const long dev =
      addDevice("snmp", "192.0.2.9", "device_snmp_version, device_snmp_community, device_snmp_port",
                "'2', 's3cretCom', '161'");
  const std::string type = scalar(
      "INSERT INTO mavo_device_advance_config_type (device_config_type_name) VALUES "
      "('key') RETURNING device_config_type_id");
  exec("INSERT INTO mavo_device_advance_config VALUES (" + std::to_string(dev) + ", " + type +
       ", 't0kenV4l')");
  const std::string args = dir.file("args");
  // Prints nothing and exits 7: the stored output then holds the argument line.
  const long odd = addService("odd\nforged line",
                              addPlugin(dir.script("odd", "echo \"$*\" >> " + args + "\nexit 7\n")),
                              dev, 1000, "$SNMP_PARAMETER -K $AUTH_FILE_key");
  // Killed: the log line of the failed run holds the argument line and the output.
  addService("killed",
             addPlugin(dir.script("killed", "printf 'out\\n#INFO#forged\\n'\nkill -9 $$\n")), dev,
             1000, "-a SHA -A authK3y -x AES -X privP4ss");
  DaemonProcess d(config, dir.path(), {"-D"});
  ASSERT_TRUE(
      waitFor([&] { return stored(odd, "service_last_exec_time IS NOT NULL") == "t"; }, kStartMs))
      << d.log();
  ASSERT_TRUE(d.waitForLog("DAEMON: Excute failed retrykilled", 20000)) << d.log();
  EXPECT_EQ(d.stop(), 0);

  EXPECT_NE(readFile(args).find("-C s3cretCom -K t0kenV4l"), std::string::npos) << readFile(args);
  const std::string output = stored(odd, "service_last_stdout");
  EXPECT_NE(output.find("-C *** "), std::string::npos) << output;
  EXPECT_NE(output.find("-K ***"), std::string::npos) << output;
  const std::string log = d.log();
  EXPECT_NE(log.find("-a *** -A *** -x *** -X ***"), std::string::npos) << log;
  for (const std::string& secret : secrets) {
    EXPECT_EQ(output.find(secret), std::string::npos) << secret;
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  }
  EXPECT_NE(log.find("odd\\nforged line"), std::string::npos) << log;
  for (const std::string& line : lines(log))
    EXPECT_TRUE(line.rfind("forged", 0) != 0 && line.rfind("#INFO#forged", 0) != 0) << line;
}

// The run in progress at SIGTERM outlasts the database timeout: it is finished, and its change
// of state is stored with its incident and alert while the database answers.
TEST_F(DaemonE2ETest, SigtermWaitsForTheRunningPluginAndLeavesNoProcess) {
  const std::string started = dir.file("started"), alerts = dir.file("alerts");
  long id = addCheck(
      "slow",
      dir.script("slow", "echo $$ > " + started + "\n/bin/sleep 6\necho slow down\nexit 2\n"), "");
  addResponse(id, addProgram(dir.script("alert", "echo \"$1\" >> " + alerts + "\n")), "$ERROR",
              false, false, true, false);
  config.threads = 2;
  config.extra_postgresql = {"PGSQL_timeout=2"};
  DaemonProcess daemon(config, dir.path());
  ASSERT_TRUE(waitFor([&] { return !readFile(started).empty(); }, kStartMs)) << daemon.log();
  EXPECT_EQ(daemon.stop(30000), 0) << daemon.log();

  // The cycle in progress was finished and stored before the daemon left.
  EXPECT_EQ(stored(id, "service_previous_state || ':' || service_last_stdout"), "2:slow down\n");
  EXPECT_EQ(rows("SELECT 1 FROM mavo_error_happen WHERE happen_acquitte=0 AND happen_service_id=" +
                 std::to_string(id)),
            1);
  EXPECT_EQ(lines(readFile(alerts)).size(), 1u) << daemon.log();
  EXPECT_EQ(daemon.log().find("not written to the database"), std::string::npos) << daemon.log();
  // Plugins run in the daemon's process group: nothing of it is left.
  errno = 0;
  EXPECT_EQ(kill(-daemon.pid(), 0), -1);
  EXPECT_EQ(errno, ESRCH);
  std::string log = daemon.log();
  EXPECT_NE(log.find("#INFO#stop mavo... SIGTERM\n"), std::string::npos) << log;
  EXPECT_NE(log.find("#INFO#MAVO is stopping....\n"), std::string::npos) << log;
  int ended = 0;
  for (size_t at = log.find("\tfin thread: "); at != std::string::npos;
       at = log.find("\tfin thread: ", at + 1))
    ++ended;
  EXPECT_EQ(ended, 2) << log;
}

TEST_F(DaemonE2ETest, TwoHundredServicesKeepTheirPaceAndNoneIsLost) {
  const int kServices = 200;
  const std::string runs = dir.file("runs");
  // One line per run: the service id, through the $SERID macro.
  std::string plugin = dir.script("count", "echo \"$1\" >> " + runs + "\necho OK\n");
  long plugin_id = addPlugin(plugin);
  std::vector<long> ids;
  for (int i = 0; i < kServices; ++i)
    ids.push_back(addService("load" + std::to_string(i), plugin_id, device, 1000, "$SERID"));
  config.cores = 2;
  config.threads = 4;
  config.connections = 2;

  auto counts = [&] {
    std::map<std::string, int> n;
    for (const auto& line : lines(readFile(runs), true)) ++n[line];
    return n;
  };
  DaemonProcess daemon(config, dir.path());
  ASSERT_TRUE(
      waitFor([&] { return counts().size() == static_cast<size_t>(kServices); }, kStartMs + 10000))
      << daemon.log();
  const std::map<std::string, int> first = counts();
  const double t1 = monotonicSeconds();
  sleep(12);
  const std::map<std::string, int> second = counts();
  const double elapsed = monotonicSeconds() - t1;
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();

  ASSERT_EQ(second.size(), static_cast<size_t>(kServices));
  for (long id : ids) {
    const std::string key = std::to_string(id);
    ASSERT_EQ(second.count(key), 1u) << "service " << id << " never ran";
    const int delta = second.at(key) - first.at(key);
    // About one run per second: never lost or stalled, never scheduled twice.
    EXPECT_GE(delta, static_cast<int>(elapsed / 3)) << "service " << id;
    EXPECT_LE(delta, static_cast<int>(elapsed) + 2) << "service " << id;
  }
  EXPECT_EQ(scalar("SELECT count(*) FROM mavo_services WHERE service_previous_state=0 AND "
                   "service_last_stdout='OK\n' AND service_last_exec_time IS NOT NULL"),
            std::to_string(kServices));
}

// logrotate itself, with the packaged entry (its path, owner and signal command made this test's),
// forced three times while thirty services run every second with the trace on: each run's
// trace line is in one of the files, none is cut in two, and the files follow one another in
// time.
TEST_F(DaemonE2ETest, LogrotateLosesAndCutsNoLineUnderLoad) {
  const std::string runs = dir.file("runs");
  const long plugin = addPlugin(dir.script("count", "echo run >> " + runs + "\necho OK\n"));
  for (int i = 0; i < 30; ++i) addService("svc" + std::to_string(i), plugin, device, 1000);
  config.threads = 4;
  DaemonProcess d(config, dir.path(), {"-D"});
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", kStartMs)) << d.log();

  std::ifstream packaged(std::string(MAVO_SOURCE_DIR) + "/packaging/logrotate.conf");
  std::string entry;
  for (std::string line; std::getline(packaged, line);) {
    if (line.find("systemctl kill") != std::string::npos)
      line = "\t\t/bin/kill -HUP " + std::to_string(d.pid());
    else if (line.find("\tsu ") == 0)
      continue;  // rotated as the user running the test
    else if (line.find("\tcreate ") == 0)
      line = "\tcreate 0640";
    else if (line.find("/var/log/mavo/mavoDaemon.log {") == 0)
      line = d.logPath() + " {";
    entry += line + "\n";
  }
  ASSERT_NE(entry.find(d.logPath() + " {"), std::string::npos) << entry;
  ASSERT_NE(entry.find("/bin/kill -HUP"), std::string::npos) << entry;
  const std::string conf = dir.write("logrotate.conf", entry);
  const int kRotations = 3;
  for (int r = 0; r < kRotations; ++r) {
    // Some runs logged into the file before it is rotated.
    ASSERT_TRUE(waitFor([&] { return count(d.log(), "==> code retour0") >= 30; }, 20000)) << r;
    const std::string command = "/usr/sbin/logrotate -f -s " + dir.file("logrotate.state") + " " +
                                conf + " > " + dir.file("logrotate.out") + " 2>&1";
    ASSERT_EQ(system(command.c_str()), 0) << readFile(dir.file("logrotate.out"));
    ASSERT_TRUE(d.waitForLog("#INFO#daemon log reopened", 20000)) << r;
  }
  ASSERT_TRUE(waitFor([&] { return count(d.log(), "==> code retour0") >= 30; }, 20000));
  EXPECT_EQ(d.stop(), 0);

  // Oldest first: mavoDaemon.log.3.gz, .2.gz, .1, then the log itself.
  std::vector<std::string> files;
  for (int k = kRotations; k >= 1; --k) {
    const std::string name = d.logPath() + "." + std::to_string(k);
    if (k == 1) {
      files.push_back(readFile(name));
      continue;
    }
    const std::string plain = dir.file("unzipped" + std::to_string(k));
    ASSERT_EQ(system(("/bin/gzip -dc " + name + ".gz > " + plain).c_str()), 0) << name;
    files.push_back(readFile(plain));
  }
  files.push_back(d.log());
  const std::regex line_start(
      "^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}#(INFO|ERR|DEBUG)#");
  int traced = 0;
  std::string previous_last;
  for (size_t f = 0; f < files.size(); ++f) {
    const std::vector<std::string> got = lines(files[f]);
    ASSERT_FALSE(got.empty()) << "file " << f;
    EXPECT_EQ(files[f].back(), '\n') << "file " << f << " ends inside a line";
    for (const std::string& line : got) {
      // Beside the dated lines, the end of each worker, written as it is.
      if (line.rfind("\tfin thread: ", 0) == 0) continue;
      EXPECT_TRUE(std::regex_search(line, line_start)) << "file " << f << ": " << line;
      traced += line.find("==> code retour0") != std::string::npos;
    }
    if (f > 0) {
      EXPECT_EQ(got.front().substr(25), "INFO#daemon log reopened") << "file " << f;
    }
    // The files follow one another in time (dates compared by their time of day, the test
    // being far shorter than a day).
    if (!previous_last.empty() && previous_last.substr(0, 10) == got.front().substr(0, 10)) {
      EXPECT_LE(previous_last.substr(11, 8), got.front().substr(11, 8)) << "file " << f;
    }
    previous_last = got.back();
  }
  EXPECT_EQ(traced, count(readFile(runs), "run\n")) << "runs and their trace lines differ";
}

}  // namespace
