// Log lines: format, trace switch, embedded line breaks, concurrent writers never mixed, the
// log file renamed and reopened under writers without a line lost or cut.

#include "core/log.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "tests/support/cout_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

const std::regex kDate(
    "^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}#");

TEST(Log, LineHasAsctimeDateLevelAndMessage) {
  CoutCapture cap;
  write_log("INFO", "MAVO start....");
  std::string t = cap.text();
  ASSERT_EQ(t.back(), '\n');
  EXPECT_TRUE(std::regex_search(t, kDate)) << t;
  EXPECT_EQ(t.substr(24), "#INFO#MAVO start....\n");
}

// A line of the log is one line: a text from the database or a plugin cannot end it and write
// one that looks like the daemon's own.
TEST(Log, ControlCharactersOfAMessageAreEscaped) {
  CoutCapture cap;
  write_log("ERR", "a#b\nc\r\x01#d\te\n");
  write_log("INFO", "next");
  auto l = lines(cap.text());
  ASSERT_EQ(l.size(), 2u) << cap.text();
  EXPECT_EQ(l[0].substr(24), "#ERR#a#b\\nc\\r\\x01#d\\te");
  EXPECT_TRUE(std::regex_search(l[1], kDate));
  EXPECT_EQ(escapeForLog("x\x7fy\n"), "x\\x7fy\\n");
}

TEST(Log, TraceWritesOnlyInDebugModes) {
  for (int mode : {0, 1, 2, 3}) {
    debug = mode;
    CoutCapture cap;
    Trace("th_loaddel#dodo");
    bool written = !cap.text().empty();
    EXPECT_EQ(written, mode == 1 || mode == 2) << "debug " << mode;
    if (written) {
      EXPECT_EQ(cap.text().substr(24), "#DEBUG#th_loaddel#dodo\n");
    }
  }
  debug = 0;
}

// While another thread holds the log's lock, Trace with tracing off returns at once; one that
// took the lock would wait, and the test fails after two seconds instead of hanging.
TEST(Log, TraceOffTakesNoLock) {
  debug = 0;
  pthread_mutex_lock(&mutex_log_system);
  std::atomic<bool> returned{false};
  std::thread tracer([&] {
    Trace("must not block");
    returned = true;
  });
  const bool in_time = waitFor([&] { return returned.load(); }, 2000);
  pthread_mutex_unlock(&mutex_log_system);
  tracer.join();
  EXPECT_TRUE(in_time) << "Trace with tracing off waited for the log's lock";
}

TEST(Log, ConcurrentLinesAreNeverMixed) {
  CoutCapture cap;
  const int kThreads = 8, kLines = 500;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([t] {
      std::string msg = "thread" + std::to_string(t) + ":" + std::string(200, 'a' + t);
      for (int i = 0; i < kLines; ++i) write_log("INFO", msg);
    });
  }
  for (auto& t : ts) t.join();
  auto l = lines(cap.text());
  ASSERT_EQ(l.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& line : l) {
    ASSERT_TRUE(std::regex_search(line, kDate)) << line;
    std::string msg = line.substr(30);  // after "#INFO#"
    int t = msg[6] - '0';
    ASSERT_EQ(msg, "thread" + std::to_string(t) + ":" + std::string(200, 'a' + t));
  }
}

// The log file renamed (as logrotate does) and reopened again and again while threads log: every
// line is in one of the files, whole, and the lines of one thread keep their order across them.
// A reopen that cannot open the path leaves the log where it was, and says so there.
TEST(Log, ReopenAfterRenameLosesAndCutsNoLine) {
  TempDir dir;
  const std::string path = dir.file("daemon.log");
  ASSERT_TRUE(openDaemonLog(path));
  const int kThreads = 6, kLines = 3000, kRotations = 100;
  std::atomic<int> done{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([t, &done] {
      for (int i = 0; i < kLines; ++i)
        write_log("INFO", "t" + std::to_string(t) + " " + std::to_string(i) + " " +
                              std::string(100 + (i % 7) * 300, 'x'));
      ++done;
    });
  }
  int rotations = 0;
  for (; rotations < kRotations && done < kThreads; ++rotations) {
    ASSERT_EQ(rename(path.c_str(), dir.file("daemon.log." + std::to_string(rotations)).c_str()), 0);
    ASSERT_TRUE(reopenDaemonLog());
    usleep(1000);
  }
  for (auto& t : ts) t.join();
  // The path made unopenable (a link, which the log never follows): the lines stay in the file.
  ASSERT_EQ(rename(path.c_str(), dir.file("daemon.log.last").c_str()), 0);
  ASSERT_EQ(symlink("elsewhere", path.c_str()), 0);
  EXPECT_FALSE(reopenDaemonLog());
  write_log("INFO", "still here");
  closeDaemonLog();
  EXPECT_GT(rotations, 5) << "the writers ended before the file was renamed a few times";

  std::string all;
  for (int r = 0; r < rotations; ++r) all += readFile(dir.file("daemon.log." + std::to_string(r)));
  const std::string last = readFile(dir.file("daemon.log.last"));
  all += last;
  std::vector<int> next(kThreads, 0);
  int reopened = 0;
  for (const auto& line : lines(all)) {
    ASSERT_TRUE(std::regex_search(line, kDate)) << line.substr(0, 80);
    const std::string msg = line.substr(25);
    if (msg == "INFO#daemon log reopened") {
      ++reopened;
      continue;
    }
    if (msg.rfind("INFO#t", 0) != 0) continue;
    std::istringstream in(msg.substr(6));
    int t = -1, i = -1;
    std::string filler;
    in >> t >> i >> filler;
    ASSERT_TRUE(t >= 0 && t < kThreads) << msg.substr(0, 80);
    ASSERT_EQ(i, next[t]) << "thread " << t << ": a line lost or out of order";
    ASSERT_EQ(filler, std::string(100 + (i % 7) * 300, 'x')) << "line " << i << " cut";
    ++next[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "thread " << t;
  EXPECT_EQ(reopened, rotations);
  EXPECT_NE(last.find("#ERR#can't reopen the daemon log " + path + ": "), std::string::npos);
  EXPECT_NE(last.find("#INFO#still here\n"), std::string::npos);
}

}  // namespace
