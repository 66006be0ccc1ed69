// The wall clock steps under a running daemon, as the daemon sees it (tests/support/shift_clock.c,
// loaded with LD_PRELOAD, shifts the daemon's readings of the wall clock and leaves the
// machine's alone), and the daemon is frozen with SIGSTOP: the services keep their rhythm, each
// overdue service runs once after a freeze, no timed wait of the daemon counts on the wall clock,
// and SIGTERM during a step ends it promptly. Plugins get an empty environment, so they note the
// real time of each run.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/daemon_runner.h"
#include "tests/support/http_client.h"
#include "tests/support/pg_test.h"
#include "tests/support/seconds.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

class ClockE2ETest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    config_.dbname = dbname();
    config_.threads = 4;
    config_.load_mod = 2;
    config_.interval_check_update = 3600;
    config_.extra_mavo = {"metrics_listen=127.0.0.1:0"};
    // A sanitizer's runtime wants to come first among the libraries; this one must come first.
    std::string asan = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
    config_.env = {"LD_PRELOAD=" MAVO_SHIFT_CLOCK_LIB,
                   "MAVO_CLOCK_SHIFT_FILE=" + dir_.file("shift"),
                   "MAVO_CLOCK_REALTIME_WAITS_FILE=" + dir_.file("realtime_waits"),
                   "ASAN_OPTIONS=" + asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"};
    plugin_ = addPlugin(dir_.script("note", "/bin/echo \"$1 $(/bin/date +%s.%N)\" >> " +
                                                dir_.file("runs") + "\n/bin/echo ok\n"));
    device_ = addDevice();
  }

  // n services of interval_ms, named prefix0, prefix1, ...
  void services(const std::string& prefix, int n, int interval_ms) {
    for (int i = 0; i < n; ++i) {
      const std::string name = prefix + std::to_string(i);
      addService(name, plugin_, device_, interval_ms, name);
      interval_s_[name] = interval_ms / 1000.0;
    }
  }
  // Real start time of every run, by service.
  std::map<std::string, std::vector<double>> runs() {
    std::map<std::string, std::vector<double>> out;
    std::istringstream in(readFile(dir_.file("runs")));
    for (std::string name, at; in >> name >> at;) out[name].push_back(std::stod(at));
    return out;
  }
  bool eachRanTwice() {
    auto r = runs();
    for (const auto& [name, interval] : interval_s_)
      if (r[name].size() < 2) return false;
    return true;
  }
  void shiftBy(long seconds) { dir_.write("shift", std::to_string(seconds) + "\n"); }

  TempDir dir_;
  DaemonConfig config_;
  long plugin_ = 0, device_ = 0;
  std::map<std::string, double> interval_s_;
};

// Twenty services of 1 s and 2 s; the clock steps back an hour, later forward an hour, and back
// again as SIGTERM arrives. No service pauses for more than two of its intervals, none runs twice
// within its interval less a second, each step is said once and counted, and the stop is prompt.
TEST_F(ClockE2ETest, StepsOfTheWallClockChangeNeitherTheRhythmNorTheStop) {
  services("one", 10, 1000);
  services("two", 10, 2000);
  DaemonProcess d(config_, dir_.path());
  const int port = metricsPort(d);
  ASSERT_GT(port, 0) << d.log();
  ASSERT_TRUE(waitFor([&] { return eachRanTwice(); }, 30000)) << d.log();

  const double from = realNow();
  usleep(3 * 1000 * 1000);
  shiftBy(-3600);
  usleep(8 * 1000 * 1000);
  shiftBy(0);
  usleep(8 * 1000 * 1000);
  const double to = realNow();
  EXPECT_TRUE(waitFor([&] { return count(d.log(), "#INFO#the wall clock stepped ") == 2; }, 10000))
      << d.log();
  EXPECT_EQ(sample(body(get(port, "/metrics")), "mavo_clock_steps_total"), 2);
  shiftBy(-7200);
  usleep(300 * 1000);
  EXPECT_EQ(d.stop(15000), 0) << d.log();

  const std::string log = d.log();
  // The size is read off two clocks a moment apart: 3600 s give or take a millisecond.
  for (const char* way : {"back", "forward"})
    EXPECT_EQ(count(log, std::string("#INFO#the wall clock stepped ") + way + " by 3600.") +
                  count(log, std::string("#INFO#the wall clock stepped ") + way + " by 3599.9"),
              1)
        << log;
  auto all = runs();
  for (const auto& [name, interval] : interval_s_) {
    std::vector<double> seen = {from};
    for (double t : all[name])
      if (t >= from && t <= to) seen.push_back(t);
    seen.push_back(to);
    for (size_t k = 1; k < seen.size(); ++k) {
      const double gap = seen[k] - seen[k - 1];
      EXPECT_LE(gap, 2 * interval + 1.5) << name << " paused before " << std::fixed << seen[k];
      if (k > 1 && k + 1 < seen.size()) {
        EXPECT_GE(gap, interval - 1) << name << " ran twice at " << std::fixed << seen[k];
      }
    }
  }
  EXPECT_EQ(lines(readFile(dir_.file("realtime_waits"))).size(), 0u)
      << "timed waits on the wall clock, the first by "
      << readFile(dir_.file("realtime_waits")).substr(0, 64);
}

// The daemon is stopped for 30 s: once it goes on, each service runs once soon, not once per
// interval missed, and not a second time within its interval.
TEST_F(ClockE2ETest, AFreezeRunsEachOverdueServiceOnce) {
  services("one", 5, 1000);
  services("two", 5, 2000);
  DaemonProcess d(config_, dir_.path());
  ASSERT_TRUE(d.waitForLog("MAVO was starting....", 30000)) << d.log();
  ASSERT_TRUE(waitFor([&] { return eachRanTwice(); }, 30000)) << d.log();

  ASSERT_EQ(kill(d.pid(), SIGSTOP), 0);
  usleep(30 * 1000 * 1000);
  const double thawed = realNow();
  ASSERT_EQ(kill(d.pid(), SIGCONT), 0);
  usleep(6 * 1000 * 1000);
  EXPECT_EQ(d.stop(), 0) << d.log();

  EXPECT_NE(d.log().find("#INFO#scheduling was stopped for "), std::string::npos) << d.log();
  auto all = runs();
  for (const auto& [name, interval] : interval_s_) {
    std::vector<double> after;
    for (double t : all[name])
      if (t >= thawed) after.push_back(t);
    ASSERT_GE(after.size(), 2u) << name;
    EXPECT_LE(after[0] - thawed, interval + 2) << name;
    for (size_t k = 1; k < after.size(); ++k)
      EXPECT_GE(after[k] - after[k - 1], interval - 0.05) << name << " ran twice at " << after[k];
  }
  EXPECT_EQ(lines(readFile(dir_.file("realtime_waits"))).size(), 0u)
      << "timed waits on the wall clock, the first by "
      << readFile(dir_.file("realtime_waits")).substr(0, 64);
}

}  // namespace
