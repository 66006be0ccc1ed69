// Start-up and shutdown of the daemon binary: configuration errors, a database without the
// tables it needs, log lines in order, database clean-up at start, SIGTERM; and the check
// (--check) of the same configurations, databases and services.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/daemon_runner.h"
#include "tests/support/notify_socket.h"
#include "tests/support/pg_test.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

class StartupTest : public PgTest {
 protected:
  DaemonConfig config() {
    DaemonConfig c;
    c.dbname = dbname();
    return c;
  }
  // Runs mavoDaemon --check with args; returns its exit status, its standard output in *out.
  int check(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> all = {"--check"};
    all.insert(all.end(), args.begin(), args.end());
    DaemonProcess d(all, check_dir_.path());
    const int status = d.wait(60000);
    *out = readFile(d.stdoutPath());
    return status;
  }
  // Messages of the log (the text after "date#LEVEL#"), in order.
  // The project's version, from CMakeLists.txt.
  static std::string version() {
    std::smatch m;
    const std::string cmake = readFile(std::string(MAVO_SOURCE_DIR) + "/CMakeLists.txt");
    return std::regex_search(cmake, m, std::regex("project\\(mavoDaemon VERSION ([0-9.]+)"))
               ? m[1].str()
               : "";
  }
  static std::vector<std::string> messages(const std::string& log) {
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() > 25 && line[24] == '#') out.push_back(line.substr(25));
    }
    return out;
  }
  TempDir dir_;
  TempDir check_dir_;
};

// Also what systemd hears through its notification socket, and the files' modes: the log and
// the status file are for the daemon's group only, and the status file is only ever seen whole.
TEST_F(StartupTest, LogsStartupStepsInOrderAndStopsOnSigterm) {
  NotifySocket notify(dir_.file("notify"));
  setenv("NOTIFY_SOCKET", dir_.file("notify").c_str(), 1);
  setenv("WATCHDOG_USEC", "2000000", 1);
  DaemonProcess d(config(), dir_.path());
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log() << readFile(d.stdoutPath());
  EXPECT_TRUE(waitFor([&] { return notify.times("READY=1").size() == 1; }, 5000));
  EXPECT_TRUE(waitFor([&] { return notify.times("WATCHDOG=1").size() >= 2; }, 10000));
  EXPECT_TRUE(waitFor(
      [&] {
        return !notify.times("STATUS=0 services scheduled, 0 runs in the last minute").empty();
      },
      10000));
  struct stat st;
  ASSERT_EQ(stat(d.logPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(stat(d.statusPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Each report is a new file renamed over the old one: a reader that opened the old one
  // goes on reading it whole.
  const ino_t first_inode = st.st_ino;
  for (int i = 0; i < 100; ++i) {
    const std::string report = readFile(d.statusPath());
    ASSERT_NE(report.find("TOTAL SERVICE: 0\n"), std::string::npos) << "read " << i << ":\n"
                                                                    << report;
    usleep(10 * 1000);
  }
  EXPECT_TRUE(waitFor(
      [&] { return stat(d.statusPath().c_str(), &st) == 0 && st.st_ino != first_inode; }, 10000))
      << "the status file is rewritten in place";
  EXPECT_EQ(d.stop(), 0);
  EXPECT_EQ(notify.times("STOPPING=1").size(), 1u);
  const std::vector<std::string> expected = {
      "INFO#MAVO start....",
      "INFO#MAVO configuration open succesful",
      "INFO#MAVO Database connection ....",
      "INFO#Connection database....",
      "INFO#Connection database sucessful. Encoding: UTF8",
      "INFO#DELETE OLD SERVICE ",
      "INFO#Mutex INIT",
      "INFO#INSTANCE CORE - create queue",
      "INFO#PREPARATION REQUEST ",
      "INFO#INSTANCE CORE - queue success",
      "INFO#LOAD SERVICE",
      "INFO#script reload successful",
      "INFO#LOAD SERVICE SUCCESS",
      "INFO#START CORE",
      "INFO#START CORE SUCCESS:1",
  };
  std::vector<std::string> got;
  for (const auto& m : messages(d.log())) {
    if (m.rfind("INFO#", 0) == 0) got.push_back(m);
  }
  ASSERT_GE(got.size(), expected.size() + 3) << d.log();
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + expected.size()), expected)
      << d.log();
  // From here the reload thread runs and its cycles log too: its first cycle may come before
  // "MAVO was starting....", and a cycle under way when SIGTERM arrives may end after the
  // stop line. The start line comes before the stop line, and the daemon's last line closes
  // the log.
  const auto rest = got.begin() + expected.size();
  const auto started = std::find(rest, got.end(), "INFO#MAVO was starting....");
  const auto stop = std::find(rest, got.end(), "INFO#stop mavo... SIGTERM");
  ASSERT_NE(stop, got.end()) << d.log();
  EXPECT_LT(started, stop) << d.log();
  EXPECT_EQ(std::count(rest, got.end(), "INFO#MAVO was starting...."), 1) << d.log();
  EXPECT_LT(stop - got.begin(), static_cast<long>(got.size()) - 1) << d.log();
  EXPECT_EQ(got.back(), "INFO#MAVO is stopping....");
  EXPECT_TRUE(
      std::regex_search(d.log(), std::regex("^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d "
                                            "\\d\\d:\\d\\d:\\d\\d \\d{4}#INFO#MAVO start")));
}

// WATCHDOG=1 goes out while every core makes progress, also with nothing due, and stops while a
// core is stuck (its only worker held by a plugin that hangs until the test lets it go), so that
// systemd would restart the daemon; it comes back once the core moves again.
TEST_F(StartupTest, WatchdogStopsWhileACoreIsStuck) {
  const std::string stall = dir_.file("stall"), stalled = dir_.file("stalled"),
                    release = dir_.file("release");
  const long plugin =
      addPlugin(dir_.script("maybe_hang", "if [ -e " + stall + " ]; then /bin/touch " + stalled +
                                              "; n=0; while [ ! -e " + release +
                                              " ] && [ $n -lt 600 ]; do /bin/sleep "
                                              "0.1; n=$((n+1)); done; /bin/rm -f " +
                                              stall + "; fi\necho OK\n"));
  addService("maybe", plugin, addDevice(), 1000);
  DaemonConfig c = config();
  c.threads = 1;
  NotifySocket notify(dir_.file("notify"));
  setenv("NOTIFY_SOCKET", dir_.file("notify").c_str(), 1);
  setenv("WATCHDOG_USEC", "2000000", 1);
  DaemonProcess d(c, dir_.path());
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  ASSERT_TRUE(waitFor([&] { return notify.times("WATCHDOG=1").size() >= 2; }, 10000));

  dir_.write("stall", "");
  ASSERT_TRUE(waitFor([&] { return access(stalled.c_str(), F_OK) == 0; }, 10000));
  // The pings stop (none for longer than the period), and none comes while the core stays stuck.
  auto lastPing = [&] { return notify.times("WATCHDOG=1").back(); };
  ASSERT_TRUE(waitFor([&] { return NotifySocket::seconds() - lastPing() > 2.5; }, 30000))
      << "pings go on while a core is stuck";
  const size_t pings = notify.times("WATCHDOG=1").size();
  usleep(3 * 1000 * 1000);
  EXPECT_EQ(notify.times("WATCHDOG=1").size(), pings) << "ping while the core was stuck";
  const double released_at = NotifySocket::seconds();
  dir_.write("release", "");
  EXPECT_TRUE(waitFor([&] { return lastPing() > released_at; }, 30000))
      << "no ping once the core moved again";
  EXPECT_EQ(d.stop(), 0);
}

// A symbolic link planted where the log or the status file goes is not followed: its target is
// left alone (the log cannot be opened then, and says so; the status file replaces the link).
TEST_F(StartupTest, LogAndStatusFileNeverFollowALink) {
  const std::string victim = dir_.write("victim", "keep\n");
  ASSERT_EQ(symlink(victim.c_str(), dir_.file("daemon.log").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), dir_.file("status.txt").c_str()), 0);
  DaemonProcess d(config(), dir_.path());
  EXPECT_TRUE(waitFor(
      [&] {
        return readFile(d.stdoutPath()).find("ERROR can't open file " + d.logPath()) !=
               std::string::npos;
      },
      30000))
      << readFile(d.stdoutPath());
  EXPECT_TRUE(waitFor(
      [&] {
        struct stat st;
        return lstat(d.statusPath().c_str(), &st) == 0 && S_ISREG(st.st_mode);
      },
      30000));
  EXPECT_EQ(d.stop(), 0);
  EXPECT_EQ(readFile(victim), "keep\n");
}

TEST_F(StartupTest, MissingConfigurationFileExitsWithOne) {
  DaemonProcess d(std::vector<std::string>{"-f", dir_.file("absent.conf")}, dir_.path());
  EXPECT_EQ(d.wait(10000), 1);
  EXPECT_EQ(readFile(d.stdoutPath()),
            "error: can't open file " + dir_.file("absent.conf") + ": No such file or directory\n");
  std::string checked;
  EXPECT_EQ(check({"-f", dir_.file("absent.conf")}, &checked), 1);
  EXPECT_NE(checked.find("\nerror: can't open file " + dir_.file("absent.conf") +
                         ": No such file or directory\ncheck failed: 1 problem\n"),
            std::string::npos)
      << checked;
}

TEST_F(StartupTest, UnreadableConfigurationFileExitsWithOne) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads the file whatever its mode";
  const std::string conf = dir_.write("mavo.conf", daemonConfigText(config(), dir_.path()));
  ASSERT_EQ(chmod(conf.c_str(), 0), 0);
  DaemonProcess d(std::vector<std::string>{"-f", conf}, dir_.path());
  EXPECT_EQ(d.wait(10000), 1);
  EXPECT_EQ(readFile(d.stdoutPath()), "error: can't open file " + conf + ": Permission denied\n");
}

// Read as it is, such a file has no section header, so every key would look missing.
TEST_F(StartupTest, CrlfConfigurationFileIsRefusedAsSuch) {
  std::string text;
  for (char c : daemonConfigText(config(), dir_.path()))
    text += c == '\n' ? "\r\n" : std::string(1, c);
  const std::string conf = dir_.write("crlf.conf", text);
  DaemonProcess d(std::vector<std::string>{"-f", conf}, dir_.path());
  EXPECT_EQ(d.wait(10000), 1);
  EXPECT_EQ(readFile(d.stdoutPath()), "error: configuration file " + conf +
                                          " has CRLF line ends (line 1): lines must end with LF\n");
  std::string checked;
  EXPECT_EQ(check({"-f", conf}, &checked), 1);
  EXPECT_NE(checked.find("\nerror: configuration file " + conf + " has CRLF line ends (line 1)"),
            std::string::npos)
      << checked;
}

TEST_F(StartupTest, WrongPasswordExitsWithOneAndLibpqMessage) {
  DaemonConfig c = config();
  c.password = "wrong";
  DaemonProcess d(c, dir_.path());
  EXPECT_EQ(d.wait(15000), 1);
  EXPECT_NE(d.log().find("password authentication failed"), std::string::npos) << d.log();
  EXPECT_NE(readFile(d.stdoutPath()).find("password authentication failed"), std::string::npos);
  std::string checked;
  EXPECT_EQ(check({"-f", dir_.file("mavo.conf")}, &checked), 1);
  EXPECT_NE(checked.find("\nerror: connection to server"), std::string::npos) << checked;
  EXPECT_NE(checked.find("password authentication failed"), std::string::npos) << checked;
}

TEST_F(StartupTest, BadIntegerKeysAndOptionsAreRefusedByName) {
  struct Case {
    std::string from, to, key;
  } cases[] = {
      {"core_number=1", "core_number=abc", "core_number"},
      {"core_number=1", "core_number=0", "core_number"},
      {"thread_number=2", "thread_number=", "thread_number"},
      {"\nconnection_number=2\n", "\n", "connection_number"},
      {"load_mod=1", "load_mod=-4", "load_mod"},
      {"interval_check_update=1", "interval_check_update=0", "interval_check_update"},
      {"connection_number=2", "connection_number=x2", "connection_number"},
      {"daemon_id=0", "daemon_id=seven", "daemon_id"},
      {"wait_state_verify=60", "wait_state_verify=99999999999", "wait_state_verify"},
      {"wait_state_verify=60", "wait_state_verify=-1", "wait_state_verify"},
      {"wait_state_verify=60", "wait_state_verify=86401", "wait_state_verify"},
      {"connection_number=2", "connection_number=2\nPGSQL_timeout=0", "PGSQL_timeout"},
      {"connection_number=2", "connection_number=2\nPGSQL_timeout=2147484", "PGSQL_timeout"},
      {"load_mod=1", "load_mod=1\njournal_max_bytes=100", "journal_max_bytes"},
      {"connection_number=2", "connection_number=2\nPGSQL_options=sslmode", "PGSQL_options"},
      {"connection_number=2", "connection_number=2\nPGSQL_options=no_such_keyword=1",
       "PGSQL_options"},
      {"load_mod=1", "load_mod=1\nmetrics_listen=localhost", "metrics_listen"},
      {"load_mod=1", "load_mod=1\ncluster_lease=1", "cluster_lease"},
      {"load_mod=1", "load_mod=1\ncluster_lease=3601", "cluster_lease"},
      {"load_mod=1", "load_mod=1\ncluster_lease=10\ncluster_node=" + std::string(64, 'n'),
       "cluster_node"},
  };
  // --check refuses each with start-up's own message, and names every bad key of a file.
  std::string all_bad = daemonConfigText(config(), dir_.path());
  for (const auto& c : cases) {
    std::string text = daemonConfigText(config(), dir_.path());
    text.replace(text.find(c.from), c.from.size(), c.to);
    if (all_bad.find(c.from) != std::string::npos)
      all_bad.replace(all_bad.find(c.from), c.from.size(), c.to);
    std::string conf = dir_.write("bad.conf", text);
    DaemonProcess d(std::vector<std::string>{"-f", conf}, dir_.path());
    EXPECT_EQ(d.wait(10000), 1) << c.to;
    std::string out = readFile(d.stdoutPath());
    EXPECT_NE(out.find("configuration key " + c.key + " of section"), std::string::npos)
        << c.to << ": " << out;
    EXPECT_NE(d.log().find("configuration key " + c.key), std::string::npos) << d.log();
    std::string checked;
    EXPECT_EQ(check({"-f", conf}, &checked), 1) << c.to;
    EXPECT_NE(checked.find("\n" + out), std::string::npos) << c.to << ": " << checked;
  }
  std::string checked;
  EXPECT_EQ(check({"-f", dir_.write("all_bad.conf", all_bad)}, &checked), 1);
  for (const char* key : {"core_number", "thread_number", "load_mod", "interval_check_update",
                          "connection_number", "daemon_id", "wait_state_verify"})
    EXPECT_NE(checked.find("error: configuration key " + std::string(key) + " of section"),
              std::string::npos)
        << key << ": " << checked;
}

TEST_F(StartupTest, BadDaemonIdentifierOptionIsRefused) {
  DaemonProcess d(std::vector<std::string>{"-i", "x7", "-f", dir_.file("mavo.conf")}, dir_.path());
  EXPECT_EQ(d.wait(10000), 1);
  EXPECT_NE(readFile(d.stdoutPath()).find("option -i needs an integer, got \"x7\""),
            std::string::npos);
}

// A table only the reload thread reads leaves the services running, and the reload thread says
// what is missing at each attempt; one that start-up or the workers need stops the start with
// the server's message, which names it. Each step breaks something an earlier start-up step
// needs, so that each start fails on the new damage.
TEST_F(StartupTest, MissingTablesAndColumnsAreNamed) {
  const long fine = addService("fine", addPlugin("/usr/lib/nagios/plugins/check_dummy"),
                               addDevice(), 1000, "0 fine");
  std::string checked;
  // With several daemons per identifier, the tables of sql/cluster.sql are needed.
  DaemonConfig shared = config();
  shared.extra_mavo.push_back("cluster_lease=10");
  const std::string shared_conf = dir_.write("shared.conf", daemonConfigText(shared, dir_.path()));
  EXPECT_EQ(check({"-f", shared_conf}, &checked), 0) << checked;
  EXPECT_NE(checked.find("\nok: cluster: the tables of sql/cluster.sql are there"),
            std::string::npos)
      << checked;
  exec("DROP TABLE mavo_cluster_bucket");
  EXPECT_EQ(check({"-f", shared_conf}, &checked), 1);
  EXPECT_NE(checked.find("\nerror: configuration key cluster_lease of section [MAVO] needs the "
                         "tables of sql/cluster.sql in the database (missing: "
                         "mavo_cluster_bucket)"),
            std::string::npos)
      << checked;
  exec("DROP TABLE mavo_maintenance_configuration");
  const std::string conf = dir_.write("mavo.conf", daemonConfigText(config(), dir_.path()));
  // The check names what only the reload thread would have found.
  EXPECT_EQ(check({"-f", conf}, &checked), 1);
  EXPECT_NE(checked.find("\nerror: statement \"updateMaintenanceConf\": prepare failed:  ERROR:  "
                         "relation \"mavo_maintenance_configuration\" does not exist\n"),
            std::string::npos)
      << checked;
  {
    TempDir run;
    DaemonProcess d(config(), run.path());
    EXPECT_TRUE(d.waitForLog("relation \"mavo_maintenance_configuration\" does not exist", 30000))
        << d.log();
    EXPECT_TRUE(waitFor(
        [&] {
          return scalar("SELECT service_last_stdout FROM mavo_services WHERE service_id=" +
                        std::to_string(fine)) == "OK: fine\n";
        },
        20000))
        << d.log();
    EXPECT_EQ(d.stop(), 0);
  }
  const struct {
    std::string damage, message;
  } cases[] = {
      {"ALTER TABLE mavo_device DROP COLUMN device_snmp_port",
       "prepare failed:  ERROR:  column \"device_snmp_port\" does not exist"},
      {"ALTER TABLE mavo_services DROP COLUMN service_last_exec_time",
       "prepare failed:  ERROR:  column \"service_last_exec_time\" of relation \"mavo_services\" "
       "does not exist"},
      {"DROP TABLE mavo_errors CASCADE",
       "execute failed:  ERROR:  relation \"mavo_errors\" does not exist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    exec(c.damage);
    TempDir run;
    DaemonProcess d(config(), run.path());
    EXPECT_EQ(d.wait(30000), 1);
    EXPECT_EQ(readFile(d.stdoutPath()).rfind(c.message, 0), 0u) << readFile(d.stdoutPath());
    EXPECT_NE(d.log().find(c.message), std::string::npos) << d.log();
    EXPECT_EQ(check({"-f", conf}, &checked), 1);
    EXPECT_NE(checked.find(c.message.substr(c.message.find("ERROR:")) + "\n"), std::string::npos)
        << checked;
  }
}

// On a good setup the check passes, says so on standard output, and leaves the daemon log and
// the status file as they were; --version and --help answer there too, and an unknown option is
// still passed over.
TEST_F(StartupTest, CheckPassesOnAGoodSetupAndTouchesNoFile) {
  addService("fine", addPlugin("/usr/lib/nagios/plugins/check_dummy"), addDevice(), 1000, "0 ok");
  const std::string conf = dir_.write("mavo.conf", daemonConfigText(config(), dir_.path()));
  dir_.write("daemon.log", "kept\n");
  std::string out;
  EXPECT_EQ(check({"-f", conf}, &out), 0) << out;
  const std::vector<std::string> got = lines(out);
  ASSERT_EQ(got.size(), 6u) << out;
  EXPECT_EQ(got[0], "mavoDaemon " + version() + ": checking " + conf);
  EXPECT_EQ(got[1].rfind("ok: configuration " + conf, 0), 0u) << out;
  EXPECT_EQ(got[2].rfind("ok: database: connected", 0), 0u) << out;
  EXPECT_EQ(got[3].rfind("ok: statements: ", 0), 0u) << out;
  EXPECT_EQ(got[4], "ok: services: 1 services to load, none refused, every plugin can be started");
  EXPECT_EQ(got[5], "check passed");
  EXPECT_EQ(readFile(dir_.file("daemon.log")), "kept\n");
  EXPECT_NE(access(dir_.file("status.txt").c_str(), F_OK), 0);
  // -t is --check, and an unknown option only has getopt's diagnostic (on standard error,
  // which the test puts beside standard output).
  EXPECT_EQ(check({"-x", "-t", "-f", conf}, &out), 0) << out;
  EXPECT_NE(out.find("invalid option -- 'x'\n"), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - 13), "check passed\n");

  for (const auto& [option, expected] :
       {std::pair<std::string, std::string>{"--version", ""}, {"--help", "-t, --check"}}) {
    DaemonProcess d(std::vector<std::string>{option, "-f", conf}, check_dir_.path());
    EXPECT_EQ(d.wait(10000), 0) << option;
    const std::string answer = readFile(d.stdoutPath());
    if (expected.empty())
      EXPECT_EQ(answer, "mavoDaemon " + version() + "\n");
    else
      EXPECT_NE(answer.find(expected), std::string::npos) << answer;
  }
}

// A service of each kind the loader refuses, and of each kind it loads but that cannot run, is
// named with its id; a bad service marked for deletion (start-up deletes it) is not.
TEST_F(StartupTest, CheckNamesEveryServiceTheLoaderRefusesOrThatCannotRun) {
  const long dummy = addPlugin("/usr/lib/nagios/plugins/check_dummy");
  const long dev = addDevice();
  const long snmp = addDevice("snmp", "192.0.2.1", "device_snmp_version", "'v2c'");
  addService("good", dummy, dev, 1000, "0 ok");
  const long zero = addService("zero", dummy, dev, 0);
  const long negative = addService("negative", dummy, dev, -1000);
  const long bad_snmp = addService("snmp", dummy, snmp, 1000, "$SNMP_PARAMETER");
  const long missing = addService("missing", addPlugin(dir_.file("absent")), dev, 1000);
  const long no_x = addService("no x", addPlugin(dir_.write("plain", "#!/bin/sh\n")), dev, 1000);
  const long directory = addService("directory", addPlugin(dir_.path()), dev, 1000);
  const long keyword = addService("keyword", dummy, dev, 1000, "-k $AUTH_FILE_token");
  const long marked = addService("marked", dummy, dev, 0);
  exec("UPDATE mavo_services SET service_delete=true WHERE service_id=" + std::to_string(marked));
  std::string out;
  EXPECT_EQ(check({"-f", dir_.write("mavo.conf", daemonConfigText(config(), dir_.path()))}, &out),
            1);
  auto id = [](long n) { return std::to_string(n); };
  const std::string expected =
      "error: service " + id(zero) +
      " (zero): refused at load: service_interval_time must be positive, got 0\n"
      "error: service " +
      id(negative) +
      " (negative): refused at load: service_interval_time must be positive, got -1000\n"
      "error: service " +
      id(bad_snmp) +
      " (snmp): refused at load: stoi: device_snmp_version is not an integer: 'v2c'\n"
      "error: service " +
      id(missing) + " (missing): cannot run: plugin is not executable No such file or directory: " +
      dir_.file("absent") + "\nerror: service " + id(no_x) +
      " (no x): cannot run: plugin is not executable Permission denied: " + dir_.file("plain") +
      "\nerror: service " + id(directory) +
      " (directory): cannot run: plugin is not executable Permission denied: " + dir_.path() +
      "\nerror: service " + id(keyword) + " (keyword): cannot run: keyword $AUTH_FILE_token has " +
      "no value for device " + id(dev) +
      ": the plugin gets the keyword itself\n"
      "services: 5 services to load (4 of them cannot run), 3 refused\n"
      "check failed: 7 problems\n";
  EXPECT_NE(out.find(expected), std::string::npos) << out;
}

TEST_F(StartupTest, CleansDeletedPluginsAndServicesAndResetsReloadFlag) {
  long dev = addDevice();
  long gone = addPlugin("/bin/false");
  exec("UPDATE mavo_plugins SET plugin_delete=true WHERE plugin_id=" + std::to_string(gone));
  long kept = addPlugin("/bin/true");
  for (int i = 0; i < 3; ++i) addService("old" + std::to_string(i), gone, dev, 60000);
  long marked = addService("marked", kept, dev, 60000);
  exec("UPDATE mavo_services SET service_delete=true WHERE service_id=" + std::to_string(marked));
  long live = addService("live", kept, dev, 60000);
  DaemonConfig c = config();
  c.daemon_id = "0";
  DaemonProcess d(c, dir_.path(), {"-i", "-2"});
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  EXPECT_EQ(d.stop(), 0);
  EXPECT_EQ(scalar("SELECT string_agg(service_id::text, ',') FROM mavo_services"),
            std::to_string(live));
  EXPECT_EQ(scalar("SELECT count(*) FROM mavo_plugins"), "1");
  EXPECT_EQ(scalar("SELECT config_value FROM mavo_configuration WHERE config_key='SYS_RELOAD'"),
            "0");
  EXPECT_NE(d.log().find("#INFO#ID CLUSTER: -2\n"), std::string::npos);
}

TEST_F(StartupTest, DaemonIdentifierFromConfigurationReplacesOption) {
  long dev = addDevice();
  long plug = addPlugin("/bin/true");
  addService("mine", plug, dev, 3600000, "", 0, 3);
  addService("other", plug, dev, 3600000, "", 0, 7);
  // Only this daemon's services marked for deletion go at start: another daemon still runs
  // its own and deletes them itself once its workers have dropped them.
  const long my_marked = addService("my marked", plug, dev, 3600000, "", 0, 3);
  const long other_marked = addService("other marked", plug, dev, 3600000, "", 0, 7);
  exec("UPDATE mavo_services SET service_delete=true WHERE service_id IN (" +
       std::to_string(my_marked) + ", " + std::to_string(other_marked) + ")");
  DaemonConfig c = config();
  c.daemon_id = "3";
  DaemonProcess d(c, dir_.path(), {"-i", "7"});
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  EXPECT_NE(d.log().find("#INFO#ID CLUSTER: 3\n"), std::string::npos);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(my_marked)), 0);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(other_marked)),
            1);
  EXPECT_TRUE(waitFor(
      [&] { return readFile(d.statusPath()).find("TOTAL SERVICE: 1\n") != std::string::npos; },
      5000))
      << readFile(d.statusPath());
  EXPECT_EQ(d.stop(), 0);
}

}  // namespace
