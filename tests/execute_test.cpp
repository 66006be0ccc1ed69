// Plugin and alerting-program runs against real child processes: small shell scripts written
// into a temporary directory, and the check_dummy plugin. Plugins get an empty environment, so
// the scripts name every program by its absolute path.

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "gtest/gtest.h"
#include "service/service.h"
#include "tests/support/cout_capture.h"
#include "tests/support/temp_dir.h"

namespace {

const char kNoOutput[] = "DAEMON: the plugin does not return anything on the stdout";
const char kCheckDummy[] = "/usr/lib/nagios/plugins/check_dummy";

service makeService(const std::string& plugin_path, std::list<std::string> args = {}) {
  service s;
  s.service_name = "disk /var";
  s.plugin_path = plugin_path;
  s.parameter = "-w 80";
  s.parameter_list = std::move(args);
  return s;
}

std::string contextOf(const service& s) {
  return s.service_name + "\npath:" + s.plugin_path + " " + s.parameter;
}

// What one execute() gave: the returned state, or the text of the exception.
struct Outcome {
  bool threw = false;
  int returned = -1;
  std::string what;
};

// Runs the plugin once, with a time limit of timeout seconds (0: none).
Outcome run(service& s, int timeout = 0) {
  Outcome o;
  try {
    o.returned = s.execute(timeout);
  } catch (const serviceException& e) {
    o.threw = true;
    o.what = e.what();
  }
  return o;
}

// Sets the disposition of one signal while alive.
class ScopedSignal {
 public:
  ScopedSignal(int sig, void (*handler)(int)) : sig_(sig) {
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(sig_, &sa, &old_);
  }
  ~ScopedSignal() { sigaction(sig_, &old_, nullptr); }

 private:
  int sig_;
  struct sigaction old_;
};

bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

std::string seqOutput(int last) {
  std::string out;
  for (int i = 1; i <= last; ++i) out += std::to_string(i) + "\n";
  return out;
}

TEST(Execute, MapsExitStatusWithAndWithoutOutput) {
  TempDir dir;
  for (const int code : {0, 1, 2, 3, 4, 5, 7, 255}) {
    for (const bool prints : {true, false}) {
      SCOPED_TRACE("exit " + std::to_string(code) + (prints ? " with output" : " silent"));
      service s = makeService(dir.script("p.sh", std::string(prints ? "echo 'out put'\n" : "") +
                                                     "exit " + std::to_string(code) + "\n"));
      s.state = 9;
      const Outcome o = run(s);
      const int mapped = code <= 5 ? code : 3;
      if (prints) {
        EXPECT_FALSE(o.threw) << o.what;
        EXPECT_EQ(o.returned, mapped);
        EXPECT_EQ(s.state, mapped);
        EXPECT_EQ(s.last_stdout, "out put\n");  // the plugin's text wins over the error texts
      } else {
        EXPECT_TRUE(o.threw);
        EXPECT_EQ(o.what, kNoOutput);
        EXPECT_EQ(s.state, 3);
        const std::string kept = code == 255 ? "UNKNOWN: MavoDaemon could not connect to host"
                                 : code == 7
                                     ? "Error execute: Bad return code\n" + contextOf(s) + " "
                                     : "";
        EXPECT_EQ(s.last_stdout, kept);
      }
    }
  }
  EXPECT_TRUE(noChildLeft());
}

TEST(Execute, TwoSingleQuotesCountAsNoOutput) {
  TempDir dir;
  service s = makeService(dir.script("q.sh", "/usr/bin/printf \"''\"\n"));
  const Outcome o = run(s);
  EXPECT_EQ(o.what, kNoOutput);
  EXPECT_EQ(s.state, 3);
  EXPECT_EQ(s.last_stdout, "''");
}

TEST(Execute, ReplacesInvalidUtf8WithSpaces) {
  struct Case {
    const char* printf_format;  // octal escapes, as /usr/bin/printf takes them
    std::string want;
  };
  const Case cases[] = {
      {R"(a\200b)", "a b"},                           // lone continuation byte
      {R"(\200\200)", "  "},                          // each lone continuation byte: one space
      {R"(\303\251t\303\251)", "\xc3\xa9t\xc3\xa9"},  // valid two-byte characters kept
      {R"(\342\202\254!)", "\xe2\x82\xac!"},          // valid three-byte character kept
      {R"(ab\303)", "ab "},                           // sequence cut by the end of the output
      {R"(\303()", " ("},                             // lead byte without its continuation
      {R"(\300\257x)", " x"},                         // overlong: one space for the sequence
      {R"(\355\240\200z)", " z"},                     // surrogate code point
      {R"(\377x)", " x"},                             // invalid lead byte
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.printf_format);
    service s =
        makeService(dir.script("u.sh", std::string("/usr/bin/printf '") + c.printf_format + "'\n"));
    const Outcome o = run(s);
    EXPECT_FALSE(o.threw) << o.what;
    EXPECT_EQ(s.last_stdout, c.want);
  }
}

TEST(Execute, JoinsChunksOfLargeOutput) {
  TempDir dir;
  const std::string all = seqOutput(20000);  // about 108 KB
  struct Case {
    std::string body;
    std::string want;
  };
  const Case cases[] = {
      {"/usr/bin/seq 1 1000 | /usr/bin/head -c 1024\n", all.substr(0, 1024)},
      {"/usr/bin/seq 1 20000\n", all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    service s = makeService(dir.script("big.sh", c.body));
    const Outcome o = run(s);
    EXPECT_FALSE(o.threw) << o.what;
    EXPECT_EQ(s.last_stdout.size(), c.want.size());
    EXPECT_TRUE(s.last_stdout == c.want);
  }
}

TEST(Execute, CutsEachChunkAtItsFirstNul) {
  TempDir dir;
  service one = makeService(dir.script("nul.sh", R"(/usr/bin/printf 'abc\000def\n')"
                                                 "\n"));
  run(one);
  EXPECT_EQ(one.last_stdout, "abc");

  // One write of 2048 bytes (atomic on a pipe) is read as two chunks of 1024: the NUL cuts only
  // the first one.
  const std::string format =
      std::string(10, 'a') + "\\000" + std::string(1013, 'b') + std::string(1024, 'c');
  service two = makeService(dir.script("nul2.sh", "/usr/bin/printf '" + format + "'\n"));
  run(two);
  EXPECT_EQ(two.last_stdout, std::string(10, 'a') + std::string(1024, 'c'));
}

TEST(Execute, KilledPluginThrowsWithItsOutput) {
  TempDir dir;
  service s = makeService(dir.script("k.sh", "echo partial\nkill -9 $$\n"));
  const Outcome o = run(s);
  EXPECT_TRUE(o.threw);
  EXPECT_EQ(o.what, "Error: mavo can't execute " + contextOf(s) + "partial\n");
  EXPECT_EQ(s.state, 3);
  EXPECT_EQ(s.last_stdout, "Error: mavo can't execute " + s.plugin_path);
}

TEST(Execute, StoppedPluginThrowsAndIsReaped) {
  TempDir dir;
  // It closes its stdout first: the output is read to end of file before the wait.
  service s =
      makeService(dir.script("stop.sh", "echo before\nexec >&-\nkill -STOP $$\necho after\n"));
  const Outcome o = run(s);
  EXPECT_EQ(o.what, "Error: mavo can't execute " + contextOf(s) + "before\n");
  EXPECT_EQ(s.state, 3);
  EXPECT_TRUE(noChildLeft());
}

// A run that may no longer start (another daemon runs the service by now): refused before the
// start, nothing starts and the service keeps its state and output; refused right after it (this
// process was stopped in between), the plugin is killed at once and reaped, unheard.
TEST(Execute, WithheldRunStartsNothingOrKillsThePluginAtOnce) {
  TempDir dir;
  const std::string marker = dir.file("started");
  service s = makeService(dir.script("w.sh", "/usr/bin/touch " + marker + "\necho ran\n"));
  s.state = 2;
  s.last_stdout = "CRITICAL: before";
  RunInfo info;
  info.may_start = [] { return false; };
  EXPECT_EQ(s.execute(30, &info), -1);
  EXPECT_TRUE(info.withheld);
  EXPECT_EQ(s.state, 2);
  EXPECT_EQ(s.last_stdout, "CRITICAL: before");
  EXPECT_NE(access(marker.c_str(), F_OK), 0);

  service hung = makeService(dir.script("h.sh", "exec /bin/sleep 60\n"));
  int asked = 0;
  RunInfo late;
  late.may_start = [&asked] { return ++asked == 1; };
  EXPECT_EQ(hung.execute(30, &late), -1);  // without the kill: 30 s, then UNKNOWN
  EXPECT_EQ(asked, 2);
  EXPECT_TRUE(late.withheld);
  EXPECT_FALSE(late.timed_out);
  EXPECT_TRUE(noChildLeft());
}

TEST(Execute, UnstartablePluginLogsReasonAndHasNoOutput) {
  TempDir dir;
  struct Case {
    std::string path;
    std::string reason;
  };
  const std::string plain = dir.write("plain.txt", "echo hi\n");  // not executable
  const std::string garbage = dir.write("garbage", "\x01\x02 no interpreter line\n");
  chmod(garbage.c_str(), 0755);
  const Case cases[] = {
      {dir.file("missing"), "No such file or directory"},
      {dir.path(), "Permission denied"},
      {plain, "Permission denied"},
      {garbage, "Exec format error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    service s = makeService(c.path);
    s.last_stdout = "old";
    CoutCapture log;
    const Outcome o = run(s);
    EXPECT_EQ(o.what, kNoOutput);
    EXPECT_EQ(s.state, 3);
    EXPECT_EQ(s.last_stdout, "");
    EXPECT_EQ(log.text(), "DAEMON: plugin is not executable " + c.reason + ": " + c.path +
                              " of service disk /var (0)\n");
  }
}

TEST(Execute, PluginGetsArgumentsAndEmptyEnvironment) {
  TempDir dir;
  setenv("MAVO_TEST_MARK", "leaked", 1);
  // The shell exports PWD by itself; everything else would come from the daemon.
  service s = makeService(
      dir.script("env.sh",
                 "/usr/bin/env -u PWD /usr/bin/env\n/usr/bin/printf '[%s]' \"$0\" \"$@\"\n"),
      {"a b", "", "$HOME"});
  run(s);
  EXPECT_EQ(s.last_stdout, "[" + s.plugin_path + "][a b][][$HOME]");
  unsetenv("MAVO_TEST_MARK");
}

TEST(Execute, PluginSeesOnlyStandardDescriptors) {
  // Descriptors the daemon leaves inheritable must not reach the plugin either.
  std::vector<int> extra;
  for (int i = 0; i < 3; ++i) extra.push_back(dup(2));
  service s = makeService("/bin/ls", {"/proc/self/fd"});
  run(s);
  EXPECT_EQ(s.last_stdout, "0\n1\n2\n3\n");  // 3 is ls's own handle on the directory
  for (int fd : extra) close(fd);
}

TEST(Execute, PluginRunsInOwnGroupWithCleanSignalState) {
  TempDir dir;
  service group = makeService(dir.script("group.sh",
                                         "read pid comm st ppid pgrp rest < /proc/$$/stat\n"
                                         "echo \"$pid $pgrp\"\n"));
  run(group);
  std::istringstream in(group.last_stdout);
  pid_t pid = 0, pgrp = 0;
  in >> pid >> pgrp;
  EXPECT_GT(pid, 0);
  EXPECT_EQ(pid, pgrp);
  EXPECT_NE(pgrp, getpgrp());

  // Signals the daemon blocks or ignores are neither blocked nor ignored in the plugin.
  ScopedSignal pipe_ignored(SIGPIPE, SIG_IGN);
  ScopedSignal term_ignored(SIGTERM, SIG_IGN);
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  service sig = makeService("/bin/grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"});
  run(sig);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  unsigned long long blocked = ~0ULL, ignored = ~0ULL;
  ASSERT_EQ(sscanf(sig.last_stdout.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2)
      << sig.last_stdout;
  EXPECT_EQ(blocked, 0u);
  // (glibc's posix_spawn leaves its own two internal real-time signals ignored.)
  EXPECT_EQ(ignored & ((1ULL << (SIGPIPE - 1)) | (1ULL << (SIGTERM - 1))), 0u) << sig.last_stdout;
}

TEST(Execute, WaitsForBackgroundProcessHoldingStdout) {
  TempDir dir;
  service s = makeService(dir.script("bg.sh", "(/bin/sleep 1; echo late) &\necho early\n"));
  run(s);
  EXPECT_EQ(s.last_stdout, "early\nlate\n");
}

TEST(Execute, FailedWaitThrowsAndKeepsOutput) {
  TempDir dir;
  service s = makeService(dir.script("w.sh", "echo fine\n"));
  Outcome o;
  {
    ScopedSignal auto_reap(SIGCHLD, SIG_IGN);  // children are reaped by the kernel: ECHILD
    o = run(s);
  }
  EXPECT_EQ(o.what, "Error execute " + contextOf(s) + strerror(ECHILD));
  EXPECT_EQ(s.last_stdout, "fine\n");
}

TEST(Execute, RunsCheckDummy) {
  if (access(kCheckDummy, X_OK) != 0) GTEST_SKIP() << kCheckDummy << " not installed";
  struct Case {
    std::string code;
    std::string want;
  };
  for (const Case& c : {Case{"0", "OK: hello\n"}, Case{"2", "CRITICAL: hello\n"}}) {
    service s = makeService(kCheckDummy, {c.code, "hello"});
    const Outcome o = run(s);
    EXPECT_FALSE(o.threw) << o.what;
    EXPECT_EQ(o.returned, std::stoi(c.code));
    EXPECT_EQ(s.last_stdout, c.want);
  }
}

TEST(Execute, ConcurrentRunsKeepTheirOwnOutput) {
  TempDir dir;
  const service base = makeService(dir.script("echo.sh", "echo \"$1\"\n"));
  constexpr int kThreads = 8;
  constexpr int kRuns = 50;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&base, &wrong, t] {
      for (int r = 0; r < kRuns; ++r) {
        service s = base;
        const std::string arg = "thread " + std::to_string(t) + " run " + std::to_string(r);
        s.parameter_list = {arg};
        try {
          if (s.execute(0) != 0 || s.last_stdout != arg + "\n") ++wrong;
        } catch (const serviceException&) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(noChildLeft());
}

// An alerting program that writes its arguments, one per line in brackets, to a file.
class Alerting : public ::testing::Test {
 protected:
  service withArgs(std::list<std::string> args) {
    service s;
    s.program_path = dir.script("alert.sh",
                                "{ echo \"$#\"; for a in \"$@\"; do /usr/bin/printf '[%s]\\n' "
                                "\"$a\"; done; } > " +
                                    out());
    s.alerting_parameter_list = std::move(args);
    s.parameter = "-H 10.0.0.1";
    return s;
  }
  std::string out() const { return dir.file("out"); }
  TempDir dir;
};

TEST_F(Alerting, ReplacesWholeErrorEntriesWithMessage) {
  const std::string msg = "CRITICAL: disk full\nsecond line 'q' $HOME";
  struct Case {
    std::list<std::string> args;
    std::string want;
  };
  const Case cases[] = {
      {{"-s", "$ERROR", "-t", "ops"}, "4\n[-s]\n[" + msg + "]\n[-t]\n[ops]\n"},
      {{"msg=$ERROR"}, "1\n[" + msg + "]\n"},
      {{"$ERROR", "x", "a$ERRORb"}, "3\n[" + msg + "]\n[x]\n[" + msg + "]\n"},
      {{}, "0\n"},
  };
  for (const Case& c : cases) {
    const service s = withArgs(c.args);
    s.executeAlertingSoftware(msg, 0);
    EXPECT_EQ(readFile(out()), c.want);  // written before the call returned
  }
  EXPECT_TRUE(noChildLeft());
}

TEST_F(Alerting, InheritsDaemonEnvironment) {
  setenv("MAVO_ALERT_MARK", "inherited", 1);
  service s;
  s.program_path = dir.script("env.sh", "/usr/bin/printf '%s' \"$MAVO_ALERT_MARK\" > " + out());
  s.executeAlertingSoftware("m", 0);
  EXPECT_EQ(readFile(out()), "inherited");
  unsetenv("MAVO_ALERT_MARK");
}

TEST_F(Alerting, UnstartableProgramOnlyLogs) {
  const std::string plain = dir.write("plain.txt", "echo hi\n");  // not executable
  const struct {
    std::string path, reason;
  } cases[] = {
      {dir.file("missing"), "No such file or directory"},
      {plain, "Permission denied"},
      {dir.path(), "Permission denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    service s;
    s.service_name = "web";
    s.SetService_id(31);
    s.program_path = c.path;
    CoutCapture log;
    EXPECT_NO_THROW(s.executeAlertingSoftware("m", 0));
    EXPECT_EQ(log.text(),
              c.reason + ": alerting program " + c.path + " of service web (31) not started\n");
  }
  EXPECT_TRUE(noChildLeft());
}

TEST_F(Alerting, FailedWaitThrows) {
  const service s = withArgs({"$ERROR"});
  ScopedSignal auto_reap(SIGCHLD, SIG_IGN);
  try {
    s.executeAlertingSoftware("m", 0);
    ADD_FAILURE() << "no exception";
  } catch (const serviceException& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error execute ALERTE" + s.program_path + " -H 10.0.0.1" + strerror(ECHILD));
  }
}

// Runs with a time limit of one second. Every script writes the pids of its processes to a file
// before it hangs; they must all be gone once the run returns.
class PluginTimeout : public ::testing::Test {
 protected:
  const int timeout = 1;

  std::string pidsFile() const { return dir.file("pids"); }
  std::vector<pid_t> pids() const {
    std::istringstream in(readFile(pidsFile()));
    std::vector<pid_t> out;
    for (pid_t p; in >> p;) out.push_back(p);
    return out;
  }
  TempDir dir;
};

// Not a child of ours any more: reaped, not left as a zombie.
bool reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD; }

const char kTimedOut[] = "UNKNOWN: plugin timed out after 1 seconds";

TEST_F(PluginTimeout, StopsWholeGroupOfHungPlugin) {
  struct Case {
    const char* what;
    std::string body;
  };
  const std::string file = pidsFile();
  const Case cases[] = {
      {"hangs with a background child",
       "/bin/sleep 60 &\necho \"$$ $!\" > " + file + "\necho started\nexec /bin/sleep 60\n"},
      {"closes its stdout and keeps running",
       "exec >&-\necho $$ > " + file + "\nexec /bin/sleep 60\n"},
      {"ignores SIGTERM", "trap '' TERM\n/bin/sleep 60 &\necho \"$$ $!\" > " + file +
                              "\necho started\nexec /bin/sleep 60\n"},
      {"exits, leaving a child on its stdout",
       "/bin/sleep 60 &\necho \"$$ $!\" > " + file + "\necho done\nexit 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    service s = makeService(dir.script("hang.sh", c.body));
    const Outcome o = run(s, timeout);
    EXPECT_FALSE(o.threw) << o.what;  // a result, so the worker does not try again
    EXPECT_EQ(o.returned, 3);
    EXPECT_EQ(s.state, 3);
    EXPECT_EQ(s.last_stdout, kTimedOut);
    const std::vector<pid_t> started = pids();
    ASSERT_FALSE(started.empty());
    EXPECT_TRUE(reaped(started[0]));
    for (pid_t p : started) EXPECT_TRUE(waitFor([p] { return processGone(p); }, 10000)) << p;
    EXPECT_TRUE(noChildLeft());
    unlink(file.c_str());
  }
}

TEST_F(PluginTimeout, RunsWithinTheLimitKeepTheirOutcome) {
  struct Case {
    std::string body;
    bool threw;
    int state;
    std::string what_prefix;
  };
  const Case cases[] = {
      {"echo fine\n", false, 0, ""},
      {"echo odd\nexit 7\n", false, 3, ""},
      {"echo partial\nkill -9 $$\n", true, 3, "Error: mavo can't execute "},
      {"echo before\nexec >&-\nkill -STOP $$\n", true, 3, "Error: mavo can't execute "},
      {"exit 0\n", true, 3, kNoOutput},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    service s = makeService(dir.script("p.sh", c.body));
    const Outcome o = run(s, timeout);
    EXPECT_EQ(o.threw, c.threw) << o.what;
    EXPECT_EQ(s.state, c.state);
    EXPECT_EQ(o.what.substr(0, c.what_prefix.size()), c.what_prefix);
    EXPECT_NE(s.last_stdout, kTimedOut);
    EXPECT_TRUE(noChildLeft());
  }
}

TEST_F(PluginTimeout, StopsHungAlertingProgramAndItsChildren) {
  service s;
  s.service_name = "web";
  s.SetService_id(32);
  s.program_path = dir.script(
      "alert.sh", "/bin/sleep 60 &\necho \"$$ $!\" > " + pidsFile() + "\nexec /bin/sleep 60\n");
  CoutCapture log;
  EXPECT_NO_THROW(s.executeAlertingSoftware("m", timeout));
  const std::vector<pid_t> started = pids();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_TRUE(reaped(started[0]));
  for (pid_t p : started) EXPECT_TRUE(waitFor([p] { return processGone(p); }, 10000)) << p;
  EXPECT_TRUE(noChildLeft());
  EXPECT_NE(log.text().find("#ERR#alerting program " + s.program_path +
                            " stopped after 1 seconds (service web (32))\n"),
            std::string::npos)
      << log.text();
}

TEST_F(PluginTimeout, AlertingProgramHeadsItsOwnGroupOnlyWithALimit) {
  for (const int limit : {1, 0}) {
    SCOPED_TRACE(limit);
    service s;
    s.program_path = dir.script("group.sh",
                                "read pid comm st ppid pgrp rest < /proc/$$/stat\n"
                                "echo \"$pid $pgrp\" > " +
                                    dir.file("group"));
    s.executeAlertingSoftware("m", limit);
    std::istringstream in(readFile(dir.file("group")));
    pid_t pid = 0, pgrp = 0;
    in >> pid >> pgrp;
    EXPECT_GT(pid, 0);
    EXPECT_EQ(pgrp, limit > 0 ? pid : getpgrp());
  }
}

TEST(Execute, KeepsFirstMebibyteOfOutputAndLogsCutOncePerService) {
  constexpr size_t kMiB = 1048576;
  struct Case {
    std::string bytes;
    size_t kept;
    bool cut;
  };
  const Case cases[] = {
      {"1048576", kMiB, false},
      {"1048577", kMiB, true},
      {"104857600", kMiB, true},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    service s = makeService(
        dir.script("big.sh", "/usr/bin/head -c " + c.bytes + " /dev/zero | /usr/bin/tr '\\0' a\n"));
    // The line is written once per service id for the life of the process: a new id each time.
    static unsigned long long next_id = 970000;
    const unsigned long long id = ++next_id;
    s.SetService_id(id);
    CoutCapture log;
    for (int runs = 0; runs < 2; ++runs) {
      const Outcome o = run(s);
      EXPECT_FALSE(o.threw) << o.what;
      EXPECT_EQ(s.last_stdout.size(), c.kept);
      EXPECT_EQ(s.last_stdout.find_first_not_of('a'), std::string::npos);
    }
    const std::string line =
        "#ERR#output of service disk /var (" + std::to_string(id) + ") cut at 1048576 bytes\n";
    const std::string text = log.text();
    const size_t first = text.find(line);
    EXPECT_EQ(first != std::string::npos, c.cut) << text;
    if (first != std::string::npos) {
      EXPECT_EQ(text.find(line, first + 1), std::string::npos);
    }
  }
}

}  // namespace
