// The daemon binary running bad services next to a good one: plugins that cannot be started, that
// flood their output, that close it and hang, that print NUL bytes and invalid UTF-8, alerting
// programs that are missing or hang, a row that cannot be scheduled. Each is logged by name, the
// good service keeps its runs, and nothing builds up in the daemon over many runs: descriptors,
// zombie children, memory.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/daemon_runner.h"
#include "tests/support/pg_test.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

const char kDummy[] = "/usr/lib/nagios/plugins/check_dummy";
const int kStartMs = 30000;  // start-up sleeps 5 s before the first run
const int kRuns = 10;        // runs of every bad service between the two looks at the daemon

// The sanitizers keep freed memory in quarantine and add shadow memory: no memory bound then.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

int openDescriptors(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

// The fewest descriptors seen over three seconds: the pipes of runs in progress and the status
// file come and go, what stays open is the floor.
int descriptorFloor(pid_t pid) {
  int floor = openDescriptors(pid);
  for (int i = 0; i < 60; ++i) {
    usleep(50 * 1000);
    floor = std::min(floor, openDescriptors(pid));
  }
  return floor;
}

// The children of every thread of pid that are zombies (ended, not reaped).
std::vector<pid_t> zombieChildren(pid_t pid) {
  std::vector<pid_t> zombies;
  const std::string task = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(task.c_str());
  if (d == nullptr) return zombies;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::istringstream in(readFile(task + "/" + e->d_name + "/children"));
    for (pid_t child; in >> child;) {
      const std::string stat = readFile("/proc/" + std::to_string(child) + "/stat");
      const size_t paren = stat.rfind(')');
      if (paren != std::string::npos && stat.compare(paren, 3, ") Z") == 0)
        zombies.push_back(child);
    }
  }
  closedir(d);
  return zombies;
}

// Peak resident memory of pid, in KiB.
long peakResidentKiB(pid_t pid) {
  std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

class BadInputE2ETest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    config.dbname = dbname();
    config.threads = 8;  // room for the runs that wait on their time limit or their retries
    config.interval_check_update = 3600;
    config.extra_mavo = {"plugin_timeout=1"};
    device = addDevice("host");
  }
  long check(const std::string& name, const std::string& plugin, const std::string& parameter = "",
             int interval_ms = 1000) {
    return addService(name, addPlugin(plugin), device, interval_ms, parameter);
  }
  // A plugin that counts its runs in the file NAME.runs, then does body.
  std::string counted(const std::string& name, const std::string& body) {
    return dir.script(name, "echo x >> " + dir.file(name + ".runs") + "\n" + body);
  }
  int runs(const std::string& name) { return count(readFile(dir.file(name + ".runs")), "x\n"); }
  // Turns CRITICAL and OK in turn, so that every run starts the alerting program.
  std::string flip(const std::string& name) {
    const std::string mark = dir.file(name + ".critical");
    return counted(name, "if [ -e " + mark + " ]; then /bin/rm " + mark +
                             "; echo OK; exit 0; fi\n: > " + mark + "\necho CRITICAL; exit 2\n");
  }

  TempDir dir;
  DaemonConfig config;
  long device = 0;
};

TEST_F(BadInputE2ETest, BadServicesAreNamedAndNeitherHinderTheOthersNorLeak) {
  const long good = check("good", kDummy, "0 fine");
  const long missing = check("missing", dir.file("no-such-plugin"));
  const long not_executable = check("plain", dir.write("plain", "echo hi\n"));
  const long directory = check("directory", dir.path());
  // 100 MB where the memory bound is checked. Under a sanitizer that bound is not checked and
  // the slower daemon on a loaded machine could take the time-out draining 100 MB: 16 MiB, still
  // far past the cut.
  const std::string flood_bytes = kSanitized ? "16777216" : "104857600";
  const long flood = check("flood", counted("flood", "/usr/bin/head -c " + flood_bytes +
                                                         " /dev/zero | /usr/bin/tr '\\0' a\n"));
  const std::string pids = dir.file("pids");
  const long closer =
      check("closer", counted("closer", "echo $$ >> " + pids + "\nexec >&-\nexec /bin/sleep 60\n"));
  const long garbage =
      check("garbage", counted("garbage", "/usr/bin/printf 'bad \\377\\376 utf8\\000hidden\\n'\n"));
  const long zero = check("zero", kDummy, "0 never", 0);
  const long alert_missing = check("alertmissing", flip("alertmissing"));
  const std::string missing_program = dir.file("no-such-program");
  addResponse(alert_missing, addProgram(missing_program), "$ERROR", true, false, true, false);
  const long alert_hang = check("alerthang", flip("alerthang"));
  const std::string hung_program =
      dir.script("hang", "echo $$ >> " + pids + "\nexec /bin/sleep 60\n");
  addResponse(alert_hang, addProgram(hung_program), "$ERROR", true, false, true, false);

  const auto id = [](long n) { return std::to_string(n); };
  const std::string unstartable[][2] = {
      {"No such file or directory: " + dir.file("no-such-plugin"), "missing (" + id(missing)},
      {"Permission denied: " + dir.file("plain"), "plain (" + id(not_executable)},
      {"Permission denied: " + dir.path(), "directory (" + id(directory)},
  };
  auto unstartableLines = [&](const std::string& log, int i) {
    return count(log, "DAEMON: plugin is not executable " + unstartable[i][0] + " of service " +
                          unstartable[i][1] + ")\n");
  };
  const std::string cut_line =
      "#ERR#output of service flood (" + id(flood) + ") cut at 1048576 bytes\n";
  const std::string hung_line = "#ERR#alerting program " + hung_program +
                                " stopped after 1 seconds (service alerthang (" + id(alert_hang) +
                                "))\n";
  const std::string missing_line = "No such file or directory: alerting program " +
                                   missing_program + " of service alertmissing (" +
                                   id(alert_missing) + ") not started\n";
  const char* const scripted[] = {"flood", "closer", "garbage", "alertmissing", "alerthang"};

  DaemonProcess daemon(config, dir.path());
  // Every bad service has had a run.
  ASSERT_TRUE(waitFor(
      [&] {
        const std::string log = daemon.log();
        for (int i = 0; i < 3; ++i)
          if (unstartableLines(log, i) == 0) return false;
        for (const char* name : scripted)
          if (runs(name) < 2) return false;
        return log.find(cut_line) != std::string::npos &&
               log.find(hung_line) != std::string::npos &&
               log.find(missing_line) != std::string::npos;
      },
      kStartMs + 30000))
      << daemon.log();
  const int fds_before = descriptorFloor(daemon.pid());
  std::vector<int> runs_before;
  for (const char* name : scripted) runs_before.push_back(runs(name));
  int unstartable_before[3];
  for (int i = 0; i < 3; ++i) unstartable_before[i] = unstartableLines(daemon.log(), i);

  // Many more runs of each, while the good service keeps recording its own.
  std::set<std::string> good_runs;
  ASSERT_TRUE(waitFor(
      [&] {
        good_runs.insert(stored(good, "service_last_exec_time"));
        const std::string log = daemon.log();
        for (int i = 0; i < 3; ++i)
          if (unstartableLines(log, i) < unstartable_before[i] + kRuns) return false;
        for (size_t i = 0; i < std::size(scripted); ++i)
          if (runs(scripted[i]) < runs_before[i] + kRuns) return false;
        return true;
      },
      180000))
      << daemon.log();
  EXPECT_GE(good_runs.size(), static_cast<size_t>(kRuns));
  EXPECT_EQ(stored(good, "service_previous_state"), "0");
  EXPECT_EQ(stored(good, "service_last_stdout"), "OK: fine\n");

  // Nothing builds up in the daemon. Two runs that happen to hold their pipes through the whole
  // look may lift the descriptor floor; one left behind by any kind of run would lift it by kRuns.
  EXPECT_LE(descriptorFloor(daemon.pid()), fds_before + 2) << "descriptors leak";
  std::vector<pid_t> zombies;
  EXPECT_TRUE(waitFor(
      [&] {
        zombies = zombieChildren(daemon.pid());
        return zombies.empty();
      },
      10000))
      << "zombie child " << zombies.front();
  if (!kSanitized) {
    // One run of the flood keeps 1 MiB; holding all 100 MB would show here.
    EXPECT_LT(peakResidentKiB(daemon.pid()), 64 * 1024);
  }
  ASSERT_TRUE(daemon.running()) << daemon.log();
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();

  // What each service stored, and how the log names it.
  const std::string log = daemon.log();
  for (long bad : {missing, not_executable, directory}) {
    EXPECT_EQ(stored(bad, "service_previous_state"), "3") << bad;
    EXPECT_EQ(stored(bad, "service_last_stdout"), "") << bad;
  }
  EXPECT_EQ(count(log, "#ERR#DAEMON: Excute failed retrymissing " + id(missing) +
                           " DAEMON: the plugin does not return anything on the stdout\n"),
            count(log, "DAEMON: plugin is not executable " + unstartable[0][0]));
  EXPECT_EQ(stored(flood, "length(service_last_stdout)"), "1048576");
  EXPECT_EQ(stored(flood, "service_last_stdout ~ '^a*$'"), "t");
  EXPECT_EQ(count(log, cut_line), 1) << "the cut is logged once per service";
  EXPECT_EQ(stored(closer, "service_previous_state"), "3");
  EXPECT_EQ(stored(closer, "service_last_stdout"), "UNKNOWN: plugin timed out after 1 seconds");
  EXPECT_EQ(stored(garbage, "service_previous_state"), "0");
  EXPECT_EQ(stored(garbage, "service_last_stdout"), "bad    utf8");
  EXPECT_NE(log.find("#ERR#Failed to initial load service: " + id(zero) +
                     " service_interval_time must be positive, got 0\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(stored(zero, "service_last_exec_time IS NULL"), "t");
  EXPECT_GE(count(log, hung_line), kRuns);
  EXPECT_GE(count(log, missing_line), kRuns);

  // Every process the hung plugins and programs were is gone.
  std::istringstream in(readFile(pids));
  std::vector<pid_t> started;
  for (pid_t p; in >> p;) started.push_back(p);
  EXPECT_GE(started.size(), static_cast<size_t>(2 * kRuns));
  for (pid_t p : started) EXPECT_TRUE(waitFor([p] { return processGone(p); }, 10000)) << p;
}

}  // namespace
