// The journal of writes kept for later: what it keeps and in which order, its bound and what
// goes first past it, and its replay against the real server, one replayer at a time.

#include "sched/result_journal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "db/pool.h"
#include "db/statements.h"
#include "sched/alert_runner.h"
#include "sched/batch_writer.h"
#include "service/service.h"
#include "tests/support/cout_capture.h"
#include "tests/support/pg_test.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

RunWrite update(unsigned long long id, int state, const std::string& output) {
  RunWrite w;
  w.service_id = id;
  w.service_name = "s" + std::to_string(id);
  w.update = true;
  w.state = state;
  w.output = output;
  return w;
}

// A change of state: the update, the acknowledgement and a new incident.
RunWrite change(unsigned long long id, int state, const std::string& output,
                const std::string& error_id = "2", const std::string& message = "") {
  RunWrite w = update(id, state, output);
  w.acknowledge = true;
  w.incident = state;
  w.error_id = error_id;
  w.message = message.empty() ? output : message;
  return w;
}

// What the journal holds, oldest first: "id:output" and a "+" for a write with an incident.
std::vector<std::string> held(ResultJournal& j) {
  std::vector<std::string> out;
  for (const auto& [id, w] : j.snapshot())
    out.push_back(std::to_string(id) + ":" + w.output + (w.incident != 0 ? "+" : ""));
  return out;
}

TEST(ResultJournal, KeepsTheLatestStateOfAServiceAndEveryIncidentInOrder) {
  CoutCapture quiet;
  ResultJournal j;
  EXPECT_FALSE(j.holds(1));
  j.keep(update(1, 0, "u1"), nullptr);
  j.keep(change(1, 2, "c1"), nullptr);
  j.keep(update(1, 2, "u2"), nullptr);
  j.keep(update(2, 0, "other"), nullptr);
  j.keep(change(1, 1, "c2"), nullptr);
  j.keep(update(1, 0, "u3"), nullptr);
  // u1 and u2 are replaced by u3; the incidents stay in order; service 2 is kept apart.
  EXPECT_EQ(held(j), (std::vector<std::string>{"1:c1+", "2:other", "1:c2+", "1:u3"}));
  EXPECT_TRUE(j.holds(1));
  EXPECT_TRUE(j.holds(2));
  EXPECT_FALSE(j.holds(3));
  EXPECT_EQ(j.entries(), 4u);
  const ResultJournal::Left left = j.discard();
  EXPECT_EQ(left.updates, 2u);
  EXPECT_EQ(left.changes, 2u);
  EXPECT_EQ(j.entries(), 0u);
  EXPECT_EQ(j.bytes(), 0u);
}

TEST(ResultJournal, PastItsBoundStateUpdatesGoFirstThenTheOldestIncidents) {
  CoutCapture log;
  const std::string big(10000, 'x');
  auto c = [&](unsigned long long id) { return change(id, 2, big, "2", "m"); };
  const size_t u_bytes = update(1, 0, big).bytes(), c_bytes = c(1).bytes();
  ResultJournal j(3 * c_bytes + u_bytes / 2);  // room for three of these writes
  j.keep(c(1), nullptr);
  j.keep(update(2, 0, big), nullptr);
  j.keep(c(3), nullptr);
  j.keep(update(4, 0, big), nullptr);  // over: the oldest state update (service 2) goes
  EXPECT_EQ(held(j).size(), 3u);
  EXPECT_FALSE(j.holds(2));
  j.keep(c(5), nullptr);  // over: the other state update goes
  EXPECT_FALSE(j.holds(4));
  j.keep(c(6), nullptr);  // no state update left: the oldest incident goes
  EXPECT_FALSE(j.holds(1));
  EXPECT_TRUE(j.holds(3) && j.holds(5) && j.holds(6));
  EXPECT_LE(j.bytes(), 3 * c_bytes + u_bytes / 2);
  // Said once, when the first write is dropped.
  EXPECT_EQ(count(log.text(), "#ERR#results kept in memory passed "), 1) << log.text();
  EXPECT_NE(log.text().find("(1 state updates and 0 incident writes dropped so far)"),
            std::string::npos)
      << log.text();
}

class JournalReplayTest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    // Two connections: a second replayer would find a free one and wait for the same lock.
    pool_ = std::make_unique<pgConnectionPool>(conninfo(), 2, 2);
    for (const auto& statements : {sql::coreStatements(), sql::clusterCoreStatements()})
      for (const auto& st : statements) pool_->prepareRequest(st.name, st.text, st.nparams);
    error_id_ =
        scalar("SELECT error_id FROM mavo_errors WHERE error_name='default_critical_error'");
    plugin_ = addPlugin("/bin/true");
    device_ = addDevice();
  }
  long svc() { return addService("s", plugin_, device_, 60000); }

  std::unique_ptr<pgConnectionPool> pool_;
  std::string error_id_;
  long plugin_ = 0, device_ = 0;
};

// Replay writes each service's writes in order, with the incident and the state together, and
// pauses a service whose row is locked while the others are written. Each write stores the time
// its run ended, not the time of the replay.
TEST_F(JournalReplayTest, WritesEachServiceInOrderAndPassesALockedOne) {
  CoutCapture log;
  ResultJournal j;
  const long a = svc(), b = svc();
  RunWrite down = change(a, 2, "down", error_id_), still = update(a, 2, "still down");
  const int64_t kept_ms = monotonicMs();
  down.ended_ms = kept_ms - 60000;
  still.ended_ms = kept_ms - 30000;
  j.keep(down, nullptr);
  j.keep(still, nullptr);
  j.keep(change(b, 2, "b down", error_id_), nullptr);

  PgConn locker(PQconnectdb(conninfo().c_str()));
  PgResult(PQexec(locker.get(), "BEGIN"));
  PgResult(PQexec(locker.get(), ("SELECT 1 FROM mavo_services WHERE service_id=" +
                                 std::to_string(b) + " FOR UPDATE")
                                    .c_str()));
  EXPECT_FALSE(j.replay(pool_.get()));  // b waited for its lock in vain; a is written
  EXPECT_EQ(stored(a, "service_previous_state || ':' || service_last_stdout"), "2:still down");
  // Seconds ago, as the server sees it, that the runs ended: as long ago as when they were kept,
  // and the time since.
  const double since = static_cast<double>(monotonicMs() - kept_ms) / 1000.0;
  EXPECT_NEAR(std::stod(stored(a, "extract(epoch from now() - service_last_exec_time)")),
              30 + since, 2);
  EXPECT_NEAR(std::stod(scalar("SELECT extract(epoch from now() - happen_timestamp) FROM "
                               "mavo_error_happen WHERE happen_service_id=" +
                               std::to_string(a))),
              60 + since, 2);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_error_happen WHERE happen_acquitte=0 AND happen_service_id=" +
                 std::to_string(a)),
            1);
  EXPECT_FALSE(j.holds(a));
  EXPECT_TRUE(j.holds(b));
  EXPECT_EQ(rows("SELECT 1 FROM mavo_error_happen WHERE happen_service_id=" + std::to_string(b)),
            0);  // its transaction was rolled back whole
  PgResult(PQexec(locker.get(), "ROLLBACK"));

  // b is tried again once its pause is over.
  EXPECT_TRUE(waitFor([&] { return j.replay(pool_.get()); }, 10000));
  EXPECT_EQ(stored(b, "service_previous_state"), "2");
  EXPECT_EQ(rows("SELECT 1 FROM mavo_error_happen WHERE happen_service_id=" + std::to_string(b)),
            1);
  EXPECT_NE(log.text().find("#INFO#database back: 3 kept results written"), std::string::npos)
      << log.text();
}

// The alerting program of a replayed incident hangs (no time limit): the replay does not wait
// for it, the next replay writes the next service and starts its alert beside the first, and
// finishing the runner waits for both, each started once.
TEST_F(JournalReplayTest, HungAlertsOfReplayedIncidentsHoldUpNoReplay) {
  CoutCapture quiet;
  TempDir dir;
  const std::string release = dir.file("release"), started = dir.file("started");
  auto program = std::make_shared<service>();
  program->service_name = "alerting";
  program->program_path = dir.script("alert", "/bin/echo \"$1\" >> " + started + "\nwhile [ ! -e " +
                                                  release + " ]; do /bin/sleep 0.05; done\n");
  program->alerting_parameter_list = {"$ERROR"};
  auto alerting = [&](RunWrite w) {
    w.alert = RunWrite::kOnIncident;
    w.alerting.push_back(program);
    return w;
  };
  AlertRunner runner;
  ResultJournal j;
  j.setAlertRunner(&runner);
  const long a = svc(), b = svc();
  std::atomic<int> replays{0};
  std::thread replayer([&] {
    j.keep(alerting(change(a, 2, "a down", error_id_)), nullptr);
    if (j.replay(pool_.get())) ++replays;
    j.keep(alerting(change(b, 2, "b down", error_id_)), nullptr);
    if (j.replay(pool_.get())) ++replays;
  });
  const bool both = waitFor([&] { return lines(readFile(started)).size() == 2; }, 20000);
  EXPECT_TRUE(both) << readFile(started);
  dir.write("release", "");
  replayer.join();
  EXPECT_EQ(replays.load(), 2);
  runner.finish();
  EXPECT_EQ(lines(readFile(started)).size(), 2u);
  EXPECT_EQ(j.alertsStarted(), 2u);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_error_happen WHERE happen_acquitte=0"), 2);
}

// One batch of six runs: one whose text the server refuses, one whose row another session
// holds, one made before another daemon took buckets of this one. Every other run is stored,
// with its incident; the refused one is dropped and named in the log, the held one waits in the
// journal and is stored once free, the stale one touches nothing and is said to be refused.
TEST_F(JournalReplayTest, BatchStoresEveryRunButARefusedTextAHeldRowAndAStaleOwner) {
  CoutCapture log;
  ResultJournal j;
  BatchWriter writer(pool_.get(), &j, nullptr, BatchWriter::Settings());
  std::vector<long> ids;
  for (int i = 0; i < 6; ++i) ids.push_back(svc());
  // Buckets of identifier 0: node "me" owns them all at epoch 1, and its fence has moved on to 1
  // (another member took some of its buckets): the last run was made before that.
  exec("INSERT INTO mavo_cluster_bucket SELECT 0, g, 'me', 1 FROM generate_series(0, 1023) g");
  exec("INSERT INTO mavo_cluster_member VALUES (0, 'me', now() + interval '1 hour', now(), 1)");
  std::vector<RunWrite> batch;
  for (int i = 0; i < 6; ++i) {
    batch.push_back(i % 2 == 0 ? update(ids[i], 1, "w" + std::to_string(i))
                               : change(ids[i], 2, "c" + std::to_string(i), error_id_));
    batch.back().service_name = "s" + std::to_string(i);
    batch.back().fence = WriteFence{0, static_cast<int>(ids[i] % 1024), "me",
                                    1, memberLockKey(0, "me"),          i == 5 ? 0 : 1};
  }
  batch[2].output = "bad \xff byte";  // not UTF-8: the server refuses it
  PgConn locker(PQconnectdb(conninfo().c_str()));
  PgResult(PQexec(locker.get(), "BEGIN"));
  PgResult(PQexec(locker.get(), ("SELECT 1 FROM mavo_services WHERE service_id=" +
                                 std::to_string(ids[3]) + " FOR UPDATE")
                                    .c_str()));

  const std::vector<BatchWriter::Outcome> out = writer.writeBatch(batch);
  ASSERT_EQ(out.size(), 6u);
  for (int i : {0, 1, 4}) {
    EXPECT_TRUE(out[i].refs.stored && !out[i].kept) << i << "\n" << log.text();
    EXPECT_EQ(stored(ids[i], "service_last_stdout"), batch[i].output) << i;
  }
  EXPECT_NE(out[1].refs.opened, "-1");
  EXPECT_EQ(scalar("SELECT happen_id FROM mavo_error_happen WHERE happen_service_id=" +
                   std::to_string(ids[1])),
            out[1].refs.opened);
  EXPECT_FALSE(out[2].refs.stored);
  EXPECT_NE(log.text().find("#Update service state failed: " + std::to_string(ids[2]) + " s2 "),
            std::string::npos)
      << log.text();
  EXPECT_TRUE(out[3].kept);
  EXPECT_TRUE(j.holds(ids[3]));
  EXPECT_TRUE(out[5].refs.refused);
  EXPECT_EQ(stored(ids[5], "service_last_stdout"), "");
  EXPECT_EQ(
      rows("SELECT 1 FROM mavo_error_happen WHERE happen_service_id=" + std::to_string(ids[5])), 0);
  EXPECT_NE(
      log.text().find("result of service s5 (" + std::to_string(ids[5]) + ") not stored: bucket"),
      std::string::npos)
      << log.text();

  PgResult(PQexec(locker.get(), "ROLLBACK"));
  EXPECT_TRUE(waitFor([&] { return j.replay(pool_.get()); }, 10000));
  EXPECT_EQ(stored(ids[3], "service_last_stdout"), "c3");
  EXPECT_EQ(
      rows("SELECT 1 FROM mavo_error_happen WHERE happen_service_id=" + std::to_string(ids[3])), 1);
}

// While one thread replays, another returns at once instead of writing the same entries.
TEST_F(JournalReplayTest, OneReplayerAtATime) {
  CoutCapture quiet;
  ResultJournal j;
  const long a = svc();
  j.keep(update(a, 1, "slow"), nullptr);
  PgConn locker(PQconnectdb(conninfo().c_str()));
  PgResult(PQexec(locker.get(), "BEGIN"));
  PgResult(PQexec(locker.get(), ("SELECT 1 FROM mavo_services WHERE service_id=" +
                                 std::to_string(a) + " FOR UPDATE")
                                    .c_str()));
  std::atomic<bool> first_done{false};
  std::thread first([&] {
    j.replay(pool_.get());  // waits for the lock until its deadline
    first_done = true;
  });
  ASSERT_TRUE(waitFor(
      [&] {
        return rows(
                   "SELECT 1 FROM pg_stat_activity WHERE datname=current_database() AND "
                   "wait_event_type='Lock'") > 0;
      },
      5000));
  EXPECT_FALSE(j.replay(pool_.get()));  // at once, not after waiting for the lock in turn
  EXPECT_FALSE(first_done.load());
  EXPECT_EQ(rows("SELECT 1 FROM pg_stat_activity WHERE datname=current_database() AND "
                 "wait_event_type='Lock'"),
            1);
  first.join();
  PgResult(PQexec(locker.get(), "ROLLBACK"));
}

}  // namespace
