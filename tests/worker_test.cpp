// Worker cycles against a real database: hand-built services running real child processes
// (shell scripts and check_dummy), their stored states, incidents and alerts, maintenance
// windows, replacement, retries, and worker threads serving a queue and leaving on stop.

#include "sched/worker.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <ctime>
#include <list>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/statements.h"
#include "maintenance/maintenance.h"
#include "sched/delete_list.h"
#include "sched/execute_queue.h"
#include "sched/incidents.h"
#include "sched/info_thread.h"
#include "sched/update_service_map.h"
#include "tests/support/cout_capture.h"
#include "tests/support/pg_test.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_context.h"
#include "tests/support/text.h"

namespace {

const char kDummy[] = "/usr/lib/nagios/plugins/check_dummy";
const char kTid[] = "42";

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class WorkerTest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    debug = 0;
    __atomic_store_n(&die_mavo, 0, __ATOMIC_RELEASE);
    core = tc.addCore(conninfo(), 2);
    tc.loadErrorIds(conninfo());
    map_error = tc.error_ids;  // for the incident functions called outside a cycle
    device = addDevice();
    alert_script = dir.script("alert",
                              "out=\"$1\"; shift\nfor a in \"$@\"; do /bin/echo \"$a\"; "
                              "done >> \"$out\"\n/bin/echo -- >> \"$out\"\n");
  }
  void TearDown() override {
    debug = 0;
    __atomic_store_n(&die_mavo, 0, __ATOMIC_RELEASE);
    PgTest::TearDown();
  }

  // A service with its database row; plugin runs with args and no environment.
  service makeService(const std::string& name, const std::string& plugin,
                      std::list<std::string> args = {}, int interval_ms = 60000, int state = 0) {
    std::string line;
    for (const auto& a : args) line += (line.empty() ? "" : " ") + a;
    long plugin_id = addPlugin(plugin);
    service s;
    s.SetService_id(addService(name, plugin_id, device, interval_ms, line, state));
    s.device_id = device;
    s.plugin_id = static_cast<int>(plugin_id);
    s.service_name = name;
    s.plugin_path = plugin;
    s.parameter = line;
    s.parameter_list = std::move(args);
    s.Setinterval_exec_time(interval_ms);
    s.state = state;
    s.previous_state = state;
    s.next_exec_time = monotonicNow();
    return s;
  }
  // A plugin script printing text and exiting with the code read from the file code_file.
  std::string switchablePlugin(const std::string& name, const std::string& code_file,
                               const std::string& text = "switch") {
    return dir.script(name, "/bin/echo " + text + "\nexit $(/bin/cat " + code_file + ")\n");
  }
  void alertTo(service& s, const std::string& file) {
    s.program_path = alert_script;
    s.alerting_parameter_list = {file, "--id", "$ERROR", "msg=$ERROR", "end"};
  }
  // Runs one cycle and returns the service as it was put back into the wait queue.
  service cycle(const service& s, infoThread* on = nullptr) {
    infoThread* c = on != nullptr ? on : core;
    handleService(tc.ctx, *c, s, kTid);
    EXPECT_EQ(c->wait_queue->size(), 1u) << "service not re-queued";
    return c->wait_queue->empty() ? service() : c->wait_queue->pop();
  }
  int addWindow(const service& s, int type, long from_now_s, long to_now_s, int during = 0) {
    static int next_planned = 1000;
    const int pid = next_planned++;
    time_t now = time(nullptr);
    tc.maintenance.add(pid, s.service_id, type, timeval{now + from_now_s, 0},
                       timeval{now + to_now_s, 0}, during);
    windows.emplace_back(s.service_id, pid);
    return pid;
  }

  std::string stored(const service& s, const std::string& column) {
    return PgTest::stored(static_cast<long>(s.service_id), column);
  }
  // "error_name:acquitte:message" per incident of the service, oldest first.
  std::vector<std::string> incidents(const service& s) {
    PgResult r = exec(
        "SELECT e.error_name || ':' || h.happen_acquitte || ':' || h.happen_message "
        "FROM mavo_error_happen h JOIN mavo_errors e ON e.error_id = h.happen_error_id "
        "WHERE h.happen_service_id=" +
        s.service_id_str + " ORDER BY h.happen_id");
    std::vector<std::string> out;
    for (int i = 0; i < PQntuples(r.get()); ++i) out.push_back(PQgetvalue(r.get(), i, 0));
    return out;
  }
  std::string lastIncidentId(const service& s) {
    return scalar("SELECT max(happen_id) FROM mavo_error_happen WHERE happen_service_id=" +
                  s.service_id_str);
  }
  // Seconds of the monotonic clock, on which due times count.
  static time_t monoSeconds() { return monotonicNow().tv_sec; }
  // Due second of a re-queued service: between the run's end and a second later.
  void expectDueAfter(const service& s, time_t before, time_t after, long seconds) {
    EXPECT_GE(s.next_exec_time.tv_sec, before + seconds);
    EXPECT_LE(s.next_exec_time.tv_sec, after + seconds + 1);
  }

  TempDir dir;
  TestContext tc;
  infoThread* core = nullptr;
  long device = 0;
  std::string alert_script;
  std::vector<std::pair<unsigned long long, int>> windows;
};

TEST_F(WorkerTest, DeletedServiceIsHandedOverAndNotRequeued) {
  std::string mark = dir.file("ran");
  service s = makeService("gone", dir.script("p", "/usr/bin/touch " + mark + "\n/bin/echo x\n"));
  tc.deletions.push(s.service_id);
  handleService(tc.ctx, *core, s, kTid);
  EXPECT_TRUE(core->wait_queue->empty());
  EXPECT_FALSE(tc.deletions.find(s.service_id));
  ASSERT_EQ(tc.dropped.length(), 1u);
  EXPECT_EQ(tc.dropped.pop().service_id, s.service_id);
  EXPECT_FALSE(exists(mark));
  EXPECT_EQ(stored(s, "service_last_exec_time IS NULL"), "t");
}

TEST_F(WorkerTest, FailureFromOkIsStoredOpensAnIncidentAndAlertsWithItsId) {
  struct Case {
    int code;
    bool warning, critical, unknown;
    std::string error;
    std::string info;  // expected INFO text after the name; "" when no alert
  } cases[] = {
      {1, true, false, false, "default_warning_error", "Execute alerting software ID"},
      {2, false, true, false, "default_critical_error", "Execute alerting softwareID"},
      {3, false, false, true, "default_unknow_error", "Execute alerting software "},
      {2, true, false, true, "default_critical_error", ""},  // flag of another state
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const std::string name = "svc" + std::to_string(n++);
    service s = makeService(name, kDummy, {std::to_string(c.code), "it's bad"});
    s.response_warning = c.warning;
    s.response_critical = c.critical;
    s.response_unknown = c.unknown;
    std::string alerts = dir.file(name + ".alerts");
    alertTo(s, alerts);
    time_t before = monoSeconds();
    testing::internal::CaptureStdout();
    service back = cycle(s);
    std::string log = testing::internal::GetCapturedStdout();
    expectDueAfter(back, before, monoSeconds(), 60);

    EXPECT_EQ(stored(s, "service_previous_state"), std::to_string(c.code));
    EXPECT_NE(stored(s, "service_last_stdout").find("it's bad"), std::string::npos);
    ASSERT_EQ(incidents(s).size(), 1u);
    EXPECT_EQ(incidents(s)[0].substr(0, c.error.size() + 3), c.error + ":0:");
    const std::string id = lastIncidentId(s);
    if (c.info.empty()) {
      EXPECT_FALSE(exists(alerts));
      EXPECT_EQ(count(log, "Execute alerting software"), 0) << log;
    } else {
      std::string info = c.info;
      if (info.size() >= 2 && info.compare(info.size() - 2, 2, "ID") == 0)
        info.replace(info.size() - 2, 2, id);
      EXPECT_NE(log.find("#INFO#" + name + info + "\n"), std::string::npos) << log;
      EXPECT_EQ(readFile(alerts), "--id\n" + id + "\n" + id + "\nend\n--\n");
    }
  }
  // A service with a second alerting program: each program whose flag asks for the state runs.
  service s = makeService("two", kDummy, {"2", "down"});
  s.response_warning = true;
  alertTo(s, dir.file("first.alerts"));
  s.more_responses.push_back(
      {alert_script, {dir.file("second.alerts"), "$ERROR"}, false, false, false, true});
  cycle(s);
  EXPECT_FALSE(exists(dir.file("first.alerts")));
  EXPECT_EQ(readFile(dir.file("second.alerts")), lastIncidentId(s) + "\n--\n");
}

// The answer to a run's COMMIT is held back past the deadline (a partition, a server stalled
// while it flushes): the run is kept, and once the database answers again the server is asked
// what became of it. It committed: the incident is stored once, its alert starts once, with
// its id.
TEST_F(WorkerTest, UnansweredCommitIsLookedUpAndNotWrittenAgain) {
  TcpProxy proxy(std::stoi(conninfoValue("port")));
  infoThread* via_proxy =
      tc.addCore("host=127.0.0.1 port=" + std::to_string(proxy.port()) + " dbname=" + dbname() +
                     " user=" + conninfoValue("user") + " password=" + conninfoValue("password"),
                 1, 1);
  service s = makeService("commit", kDummy, {"2", "down"});
  s.response_critical = true;
  const std::string alerts = dir.file("alerts");
  alertTo(s, alerts);
  CoutCapture log;
  proxy.holdAnswerAfter({"InsertErrorHappen", "COMMIT"});
  cycle(s, via_proxy);
  EXPECT_TRUE(proxy.triggered());
  EXPECT_EQ(tc.journal.entries(), 1u) << log.text();
  EXPECT_FALSE(exists(alerts));
  proxy.resume();

  EXPECT_TRUE(waitFor([&] { return tc.journal.replay(via_proxy->pool); }, 20000)) << log.text();
  EXPECT_EQ(incidents(s), std::vector<std::string>{"default_critical_error:0:CRITICAL: down\n"});
  const std::string id = lastIncidentId(s);
  EXPECT_EQ(readFile(alerts), "--id\n" + id + "\n" + id + "\nend\n--\n");
  EXPECT_EQ(stored(s, "service_previous_state"), "2");

  // The COMMIT of the recovery never reaches the server, whose session keeps the transaction
  // open with the service's row locked: that session is ended, and the run written once.
  service ok = s;
  ok.parameter_list = {"0", "up"};
  ok.state = ok.previous_state = 2;
  proxy.holdRequestsAfter({"AcquitteErrorHappen"});
  cycle(ok, via_proxy);
  EXPECT_TRUE(proxy.triggered());
  EXPECT_EQ(tc.journal.entries(), 1u) << log.text();
  EXPECT_TRUE(waitFor([&] { return tc.journal.replay(via_proxy->pool); }, 20000)) << log.text();
  proxy.resume();
  EXPECT_EQ(incidents(s), std::vector<std::string>{"default_critical_error:1:CRITICAL: down\n"});
  EXPECT_EQ(stored(s, "service_previous_state"), "0");
}

TEST_F(WorkerTest, RecoveryAcknowledgesAndAlertsWithTheAcknowledgedId) {
  struct Case {
    bool ok, critical, alerted;
  } cases[] = {{true, true, true}, {false, true, false}, {true, false, false}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    const std::string name = "rec" + std::to_string(n++);
    service s = makeService(name, kDummy, {"0", "back"}, 60000, 2);
    s.last_stdout = "was down";
    const std::string open_id = InsertError(s, 2, core->pool);
    s.response_ok = c.ok;
    s.response_critical = c.critical;
    std::string alerts = dir.file(name + ".alerts");
    alertTo(s, alerts);
    cycle(s);
    EXPECT_EQ(stored(s, "service_previous_state"), "0");
    EXPECT_EQ(incidents(s), std::vector<std::string>{"default_critical_error:1:was down"});
    if (c.alerted)
      EXPECT_EQ(readFile(alerts), "--id\n" + open_id + "\n" + open_id + "\nend\n--\n");
    else
      EXPECT_FALSE(exists(alerts));
  }
}

TEST_F(WorkerTest, UnchangedFailureIsStoredWithoutNewIncident) {
  service s = makeService("still", kDummy, {"2", "still down"}, 60000, 2);
  s.last_stdout = "down";
  InsertError(s, 2, core->pool);
  s.response_critical = true;
  std::string alerts = dir.file("alerts");
  alertTo(s, alerts);
  cycle(s);
  EXPECT_EQ(stored(s, "service_previous_state"), "2");
  EXPECT_EQ(stored(s, "service_last_stdout"), "CRITICAL: still down\n");
  EXPECT_EQ(incidents(s), std::vector<std::string>{"default_critical_error:0:down"});
  EXPECT_FALSE(exists(alerts));
}

TEST_F(WorkerTest, UnrecordedResultStoresNothingAndKeepsTheInterval) {
  service s = makeService("four", dir.script("p", "/bin/echo whatever\nexit 4\n"), {}, 120000);
  time_t before = monoSeconds();
  service back = cycle(s);
  expectDueAfter(back, before, monoSeconds(), 120);
  EXPECT_EQ(stored(s, "service_last_exec_time IS NULL"), "t");
  EXPECT_EQ(stored(s, "service_last_stdout"), "");
  EXPECT_TRUE(incidents(s).empty());
}

TEST_F(WorkerTest, VerifyStateChangeRetestsAFirstFailureBeforeStoringIt) {
  tc.ctx.verify_state_change = 1;
  tc.ctx.wait_state_verify = 120;
  service s = makeService("flap", kDummy, {"2", "down"});
  time_t before = monoSeconds();
  service back = cycle(s);
  expectDueAfter(back, before, monoSeconds(), 120);
  EXPECT_EQ(back.state, 2);
  EXPECT_EQ(stored(s, "service_last_exec_time IS NULL"), "t");
  EXPECT_TRUE(incidents(s).empty());

  before = monoSeconds();
  back = cycle(back);  // the re-test is believed
  expectDueAfter(back, before, monoSeconds(), 60);
  EXPECT_EQ(stored(s, "service_previous_state"), "2");
  EXPECT_EQ(incidents(s), std::vector<std::string>{"default_critical_error:0:CRITICAL: down\n"});
}

TEST_F(WorkerTest, ExecWindowRunsThePluginButStoresMaintenance) {
  std::string mark = dir.file("ran");
  service s = makeService(
      "exec", dir.script("p", "/usr/bin/touch " + mark + "\n/bin/echo CRITICAL\nexit 2\n"));
  addWindow(s, 2, -10, 600);
  service back = cycle(s);
  EXPECT_TRUE(exists(mark));
  EXPECT_EQ(back.maintenance_type, 2);
  EXPECT_EQ(stored(s, "service_previous_state"), "5");
  EXPECT_EQ(incidents(s),
            std::vector<std::string>{"default_maintenance:0:mavoDaemon: Maintenance"});
  back = cycle(back);
  EXPECT_EQ(stored(s, "service_previous_state"), "5");
  EXPECT_EQ(incidents(s).size(), 1u);
}

// A CRITICAL service goes through NOEXEC windows that overlap: it is not run until one second
// after the last one's end, never due at a second already past, and when it comes out still
// CRITICAL it opens its incident and alerts again (the window acknowledged the old one).
TEST_F(WorkerTest, NoExecWindowSkipsThePluginUntilOneSecondAfterItsEnd) {
  const std::string runs = dir.file("runs"), alerts = dir.file("alerts");
  service s = makeService("noexec",
                          dir.script("p", "/bin/echo x >> " + runs + "\n/bin/echo down\nexit 2\n"));
  alertTo(s, alerts);
  s.response_critical = true;
  service back = cycle(s);
  ASSERT_EQ(incidents(s), std::vector<std::string>{"default_critical_error:0:down\n"});

  // Seconds from now to the due time (the windows count in whole seconds of the wall clock).
  const timeval now = monotonicNow();
  auto dueIn = [&](const service& x) { return diffMs(x.next_exec_time, now) / 1000.0; };
  int pid = addWindow(s, 1, -10, 30);
  addWindow(s, 1, 20, 60);
  back = cycle(back);
  EXPECT_EQ(lines(readFile(runs)).size(), 1u);
  EXPECT_NEAR(dueIn(back), 61, 1.1);  // the second window's end + 1 s
  EXPECT_EQ(back.maintenance_type, 1);
  EXPECT_EQ(stored(s, "service_previous_state"), "5");
  EXPECT_EQ(incidents(s),
            (std::vector<std::string>{"default_critical_error:1:down\n",
                                      "default_maintenance:0:mavoDaemon: Maintenance"}));

  // The window it entered is over but another one still covers it: due after that one.
  tc.maintenance.clean(s.service_id, pid);
  addWindow(s, 1, -20, 40);
  back.maintenance_end.tv_sec = time(nullptr) - 5;
  back.next_exec_time = addMs(monotonicNow(), -5000);
  back = cycle(back);
  EXPECT_EQ(lines(readFile(runs)).size(), 1u);
  EXPECT_NEAR(dueIn(back), 41, 1.1);

  // Every window is over at the next cycle: the service leaves maintenance and runs.
  tc.maintenance.clean(s.service_id, windows.back().second);
  int ended = addWindow(s, 1, -100, -50);
  time_t before = monoSeconds();
  back = cycle(back);
  expectDueAfter(back, before, monoSeconds(), 60);
  EXPECT_EQ(lines(readFile(runs)).size(), 2u);
  EXPECT_EQ(back.maintenance_type, 0);
  EXPECT_FALSE(tc.maintenance.isPlannedIDPresent(ended));
  EXPECT_EQ(stored(s, "service_previous_state"), "2");
  EXPECT_EQ(incidents(s), (std::vector<std::string>{"default_critical_error:1:down\n",
                                                    "default_maintenance:1:mavoDaemon: Maintenance",
                                                    "default_critical_error:0:down\n"}));
  EXPECT_EQ(count(readFile(alerts), "\n--\n"), 2);
}

TEST_F(WorkerTest, FirstErrorWindowTurnsIntoExecAtTheFirstFailure) {
  std::string code = dir.write("code", "0\n");
  service s = makeService("first", switchablePlugin("p", code));
  int pid = addWindow(s, 3, -10, 600, 30);

  service back = cycle(s);
  EXPECT_EQ(back.maintenance_type, 3);
  EXPECT_EQ(stored(s, "service_previous_state"), "0");
  EXPECT_EQ(stored(s, "service_last_stdout"), "switch\n");
  EXPECT_TRUE(incidents(s).empty());

  dir.write("code", "2\n");
  time_t before = time(nullptr);
  back = cycle(back);
  EXPECT_EQ(back.maintenance_type, 2);
  EXPECT_EQ(back.maintenance_id, pid);
  EXPECT_EQ(stored(s, "service_previous_state"), "0");
  EXPECT_EQ(stored(s, "service_last_stdout"), "mavoDaemon: Maintenance");
  EXPECT_EQ(incidents(s),
            std::vector<std::string>{"default_maintenance:0:mavoDaemon: Maintenance"});
  var_maintenance w = tc.maintenance.getMaintenanceInformation(s.service_id);
  EXPECT_EQ(w.type, 2);
  EXPECT_EQ(w.planned_id, pid);
  EXPECT_GE(w.end.tv_sec, before + 1800);
  EXPECT_LE(w.end.tv_sec, time(nullptr) + 1800);

  back = cycle(back);
  EXPECT_EQ(stored(s, "service_previous_state"), "5");
  EXPECT_EQ(incidents(s).size(), 1u);
}

TEST_F(WorkerTest, UpdatedDefinitionRunsButTheOldIntervalSetsTheNextRun) {
  service s = makeService("upd", dir.script("old", "/bin/echo old\n"), {}, 60000);
  service newer = s;
  newer.plugin_path = dir.script("new", "/bin/echo \"new $1\"\n");
  newer.parameter_list = {"arg"};
  newer.parameter = "arg";
  newer.Setinterval_exec_time(300000);
  tc.updates.addService(newer);
  time_t before = monoSeconds();
  service back = cycle(s);
  expectDueAfter(back, before, monoSeconds(), 60);
  EXPECT_FALSE(tc.updates.find(s.service_id));
  EXPECT_EQ(back.plugin_path, newer.plugin_path);
  EXPECT_EQ(back.interval_exec_time, 300000);
  EXPECT_EQ(stored(s, "service_last_stdout"), "new arg\n");
}

// A definition loaded before the last runs were stored (an ADD or UPDATE read in the same
// second as a failure) carries a stale state: the worker's own state wins, so the failure opens
// one incident and one alert, not one per definition.
TEST_F(WorkerTest, NewerDefinitionKeepsTheStateTheWorkerStored) {
  std::string code = dir.write("code", "2\n");
  service s = makeService("stale", switchablePlugin("p", code));
  alertTo(s, dir.file("alerts"));
  s.response_critical = true;
  service loaded = s;  // read while the service was still OK
  service back = cycle(s);
  ASSERT_EQ(incidents(back).size(), 1u);
  tc.updates.addService(loaded);
  back = cycle(back);
  EXPECT_FALSE(tc.updates.find(s.service_id));
  EXPECT_EQ(back.previous_state, 2);
  EXPECT_EQ(incidents(back).size(), 1u);
  EXPECT_EQ(count(readFile(dir.file("alerts")), "\n--\n"), 1);
}

TEST_F(WorkerTest, UnstartablePluginIsTriedThreeTimesThenUnknown) {
  service s = makeService("broken", dir.file("no-such-plugin"));
  testing::internal::CaptureStdout();
  service back = cycle(s);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count(log, "#ERR#DAEMON: Excute failed retrybroken " + s.service_id_str + " "), 3)
      << log;
  EXPECT_EQ(back.state, 3);
  EXPECT_EQ(stored(s, "service_previous_state"), "3");
  ASSERT_EQ(incidents(s).size(), 1u);
  EXPECT_EQ(incidents(s)[0].substr(0, 23), "default_unknow_error:0:");
}

TEST_F(WorkerTest, DatabaseFailuresAreLoggedAndTheCycleGoesOn) {
  infoThread* bare = createCore(conninfo(), 1);  // no statement prepared
  std::string mark = dir.file("ran");
  service s = makeService("nodb", dir.script("p", "/usr/bin/touch " + mark + "\n/bin/echo x\n"));
  addWindow(s, 2, -10, 600);  // entering stores state 5 too
  testing::internal::CaptureStdout();
  service back = cycle(s, bare);
  std::string log = testing::internal::GetCapturedStdout();
  destroyCore(bare);
  EXPECT_TRUE(exists(mark));
  EXPECT_EQ(back.maintenance_type, 2);
  EXPECT_EQ(count(log, "#ERR#42#Update service state failed: " + s.service_id_str + " nodb "), 2)
      << log;
  EXPECT_EQ(stored(s, "service_last_exec_time IS NULL"), "t");
}

TEST_F(WorkerTest, TraceLinesFollowTheCycle) {
  debug = 1;
  service s = makeService("tr", kDummy, {"2", "x"});
  testing::internal::CaptureStdout();
  cycle(s);
  std::string log = testing::internal::GetCapturedStdout();
  const std::string p = "42#tr 2 x";
  const std::vector<std::string> lines = {
      "#DEBUG#th_exec#MAINTENANCE# le service n'est pas en maintenancetr 0\n",
      "#DEBUG#" + p + " Execution du script =>old state:0\n",
      "#DEBUG#" + p + " ==> code retour2\n",
      "#DEBUG#42#tr OUTCRITICAL: x\n",
      "#DEBUG#" + p + "Update state OK \n",
      "#DEBUG#" + p + "acquitte l'ancienne erreur \n",
      "#DEBUG#42#tr acquitte l'erreur==>OK -1\n",
      "#DEBUG#" + p + "insère l'erreur \n",
      "#DEBUG#42#Calcul de la prochaine execution\n",
      "#DEBUG#42#remise dans la pq tr 2 x\n",
      "#DEBUG#42#remise dans la pq successtr 2 x\n",
  };
  size_t at = 0;
  for (const auto& line : lines) {
    size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\nin\n" << log;
    at = found + line.size();
  }
}

// Worker threads on a core, registered in its vec_thread as main does.
class WorkerThreadsTest : public WorkerTest {
 protected:
  void startWorkers(int n) {
    ScopedLock lock(&mutex_vec_thread);
    for (int i = 0; i < n; ++i) {
      pthread_t t;
      ASSERT_EQ(pthread_create(&t, nullptr, thread_execute_plugin, core), 0);
      core->vec_thread->push_back(t);
      threads.push_back(t);
    }
  }
  // Stops as the stop watcher does and waits for every worker to leave its core's list.
  bool stopWorkers() {
    requestStop();
    core->execute_queue->broadcast();
    bool left = waitFor(
        [&] {
          ScopedLock lock(&mutex_vec_thread);
          return core->vec_thread->empty();
        },
        20000);
    for (pthread_t t : threads) pthread_join(t, nullptr);
    threads.clear();
    return left;
  }
  std::vector<pthread_t> threads;
};

TEST_F(WorkerThreadsTest, WorkersServeTheirQueueAndLeaveOnStop) {
  std::vector<service> services;
  for (int i = 0; i < 4; ++i)
    services.push_back(makeService("t" + std::to_string(i), kDummy, {"0", "fine"}));
  testing::internal::CaptureStdout();
  startWorkers(2);
  for (const auto& s : services) core->execute_queue->push(std::make_unique<service>(s));
  bool served = waitFor(
      [&] { return core->wait_queue->size() == services.size() && busyWorkers(*core) == 0; },
      20000);
  bool left = stopWorkers();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(served);
  EXPECT_TRUE(left);
  EXPECT_EQ(busyWorkers(*core), 0);
  EXPECT_EQ(count(out, "\tfin thread: "), 2) << out;
  EXPECT_EQ(count(out, " nbr:1 "), 1) << out;
  EXPECT_EQ(count(out, " nbr:0 "), 1) << out;
  for (const auto& s : services) EXPECT_EQ(stored(s, "service_last_stdout"), "OK: fine\n");
}

TEST_F(WorkerThreadsTest, StopDuringARunFinishesTheCycleFirst) {
  service s = makeService("slow", dir.script("p", "/bin/sleep 1\n/bin/echo done\n"));
  testing::internal::CaptureStdout();
  startWorkers(1);
  core->execute_queue->push(std::make_unique<service>(s));
  bool busy = waitFor([&] { return busyWorkers(*core) == 1; }, 10000);
  bool left = stopWorkers();
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(busy);
  EXPECT_TRUE(left);
  EXPECT_EQ(busyWorkers(*core), 0);
  EXPECT_EQ(core->wait_queue->size(), 1u);
  EXPECT_EQ(stored(s, "service_last_stdout"), "done\n");
}

}  // namespace
