// The daemon binary with a plugin time limit: a hung plugin is stopped and stored as UNKNOWN
// while the other services of its core keep running, nothing it started outlives the daemon,
// and the key itself is optional but checked when given.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/daemon_runner.h"
#include "tests/support/pg_test.h"
#include "tests/support/temp_dir.h"

namespace {

const int kStartMs = 30000;  // start-up sleeps 5 s before the first run

class TimeoutE2ETest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    config.dbname = dbname();
    config.threads = 1;  // one worker: a plugin without a bound would stall the whole core
    config.interval_check_update = 3600;
    device = addDevice("host");
  }

  TempDir dir;
  DaemonConfig config;
  long device = 0;
};

TEST_F(TimeoutE2ETest, HungPluginIsStoppedAndTheCoreGoesOn) {
  const std::string pids = dir.file("pids");
  const long hung =
      addService("hung",
                 addPlugin(dir.script("hang", "/bin/sleep 120 &\necho \"$$ $!\" >> " + pids +
                                                  "\necho started\nexec /bin/sleep 120\n")),
                 device, 1000);
  const long normal =
      addService("normal", addPlugin(dir.script("fine", "echo OK\n")), device, 1000);
  config.extra_mavo = {"plugin_timeout=2"};

  DaemonProcess daemon(config, dir.path());
  ASSERT_TRUE(waitFor([&] { return stored(hung, "service_last_stdout") != ""; }, kStartMs))
      << daemon.log();
  EXPECT_EQ(stored(hung, "service_previous_state"), "3");
  EXPECT_EQ(stored(hung, "service_last_stdout"), "UNKNOWN: plugin timed out after 2 seconds");

  // The hung service comes back every interval; the other one still gets its turns.
  const std::string before = stored(normal, "service_last_exec_time");
  ASSERT_TRUE(waitFor(
      [&] {
        const std::string now = stored(normal, "service_last_exec_time");
        return !now.empty() && now != before;
      },
      20000))
      << daemon.log();
  EXPECT_EQ(stored(normal, "service_last_stdout"), "OK\n");
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();

  std::istringstream in(readFile(pids));
  std::vector<pid_t> started;
  for (pid_t p; in >> p;) started.push_back(p);
  ASSERT_GE(started.size(), 2u);
  for (pid_t p : started) EXPECT_TRUE(waitFor([p] { return processGone(p); }, 10000)) << p;
}

TEST_F(TimeoutE2ETest, KeyIsOptionalButCheckedWhenGiven) {
  struct Case {
    std::vector<std::string> lines;
    bool starts;
  };
  const Case cases[] = {
      {{}, true},
      {{"plugin_timeout="}, true},
      {{"plugin_timeout=0"}, true},
      {{"plugin_timeout=-1"}, false},
      {{"plugin_timeout=soon"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines.empty() ? "absent" : c.lines[0]);
    config.extra_mavo = c.lines;
    TempDir run_dir;  // a log of its own, so that an earlier run's lines are not read
    DaemonProcess d(config, run_dir.path());
    if (c.starts) {
      EXPECT_TRUE(d.waitForLog("MAVO was starting....", kStartMs)) << readFile(d.stdoutPath());
      EXPECT_EQ(d.stop(), 0);
    } else {
      EXPECT_EQ(d.wait(10000), 1);
      EXPECT_NE(readFile(d.stdoutPath()).find("plugin_timeout"), std::string::npos)
          << readFile(d.stdoutPath());
    }
  }
}

}  // namespace
