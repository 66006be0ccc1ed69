// The reload cycle, the deletion loop and the reload thread against a real database, with
// hand-built cores and the process-wide containers.

#include "reload/reload.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "loader/loader.h"
#include "maintenance/maintenance.h"
#include "sched/delete_list.h"
#include "sched/execute_queue.h"
#include "sched/info_thread.h"
#include "sched/scheduled_services.h"
#include "sched/update_service_map.h"
#include "sched/worker.h"
#include "tests/support/cout_capture.h"
#include "tests/support/pg_test.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_context.h"
#include "tests/support/text.h"

namespace {

std::multiset<unsigned long long> idSet(std::initializer_list<long> ids) {
  std::multiset<unsigned long long> out;
  for (long id : ids) out.insert(static_cast<unsigned long long>(id));
  return out;
}

class ReloadTest : public PgTest {
 protected:
  void SetUp() override {
    PgTest::SetUp();
    pool_ = newPool();
    device_ = addDevice();
    plugin_ = addPlugin("/usr/lib/nagios/plugins/check_dummy");
    for (int i = 0; i < 2; ++i) tc.addBareCore();
  }

  void TearDown() override {
    delete pool_;
    delete tc.ctx.main_pool;
    debug = 0;
    __atomic_store_n(&die_mavo, 0, __ATOMIC_RELEASE);
    PgTest::TearDown();
  }

  // A one-connection pool prepared as the reload thread's pgSQL is.
  pgConnectionPool* newPool(bool reload_statements = true) {
    auto* pool = new pgConnectionPool(conninfo(), 1);
    pool->prepareRequest("select_adv_config", sql::kSelectAdvConfig, 1);
    if (reload_statements) prepareReloadStatements(pool, tc.ctx.id_cluster);
    return pool;
  }

  long svc(const std::string& parameter = "0", int srv_id = 0, int state = 0) {
    long id = addService("svc", plugin_, device_, 60000, parameter, state, srv_id);
    ids_.insert(id);
    return id;
  }
  void request(long id, const std::string& type) {
    exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(id) + ", " +
         quote(type) + ")");
  }
  int pending(const std::string& where = "true") {
    return std::stoi(scalar("SELECT count(*) FROM mavo_service_pending_execute WHERE " + where));
  }

  // Every service now in a wait queue, by id (drains the queues).
  std::multiset<unsigned long long> drainQueues() {
    std::multiset<unsigned long long> ids;
    for (infoThread* c : tc.cores)
      while (!c->wait_queue->empty()) ids.insert(c->wait_queue->pop().service_id);
    return ids;
  }

  service byHand(long id) {
    service s;
    s.SetService_id(id);
    return s;
  }

  // Waits until some session of this database waits for a lock.
  bool someoneWaitsForALock() {
    return waitFor(
        [&] {
          return scalar(
                     "SELECT count(*) FROM pg_stat_activity WHERE datname=current_database() "
                     "AND wait_event_type='Lock'") != "0";
        },
        10000);
  }

  PgConn otherConnection() {
    PgConn c(PQconnectdb(conninfo().c_str()));
    EXPECT_EQ(PQstatus(c.get()), CONNECTION_OK);
    return c;
  }
  static void run(PGconn* c, const std::string& sql) {
    PgResult r(PQexec(c, sql.c_str()));
    ASSERT_TRUE(PQresultStatus(r.get()) == PGRES_COMMAND_OK ||
                PQresultStatus(r.get()) == PGRES_TUPLES_OK)
        << sql << ": " << PQresultErrorMessage(r.get());
  }

  TestContext tc;
  pgConnectionPool* pool_ = nullptr;
  long device_ = 0, plugin_ = 0;
  std::set<long> ids_;
  std::vector<std::pair<unsigned long, int>> extra_windows_;
};

TEST_F(ReloadTest, AddRequestLoadsTheServiceOnceAndIsPurged) {
  long a = svc("-r 0"), b = svc("-r 1");
  request(a, "ADD");
  request(b, "ADD");
  reloadCycle(tc.ctx, pool_);
  reloadCycle(tc.ctx, pool_);  // the requests are gone: nothing is loaded twice
  EXPECT_EQ(pending(), 0);
  // One per core: equal services are dealt round the cores.
  EXPECT_EQ(tc.cores[0]->wait_queue->size(), 1u);
  EXPECT_EQ(tc.cores[1]->wait_queue->size(), 1u);
  EXPECT_EQ(drainQueues(), idSet({a, b}));
  EXPECT_FALSE(tc.updates.find(a));
}

// An edit saved twice gives two requests, so two rows of the service: its alerting program is
// still started once per alert.
TEST_F(ReloadTest, UpdateRequestHandsTheNewDefinitionToTheUpdateMap) {
  long a = svc("-r 0 -t old");
  addResponse(a, addProgram("/bin/alert"), "$ERROR", false, false, true, false);
  tc.scheduled.schedule(byHand(a), [](service&) {});  // running already
  exec("UPDATE mavo_services SET service_parameter='-r 2 -t new' WHERE service_id=" +
       std::to_string(a));
  request(a, "UPDATE");
  request(a, "UPDATE");
  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(pending(), 0);
  EXPECT_TRUE(drainQueues().empty());
  ASSERT_TRUE(tc.updates.find(a));
  service s = tc.updates.getService(a);
  EXPECT_EQ(s.parameter, "-r 2 -t new");
  EXPECT_EQ(s.program_path, "/bin/alert");
  EXPECT_TRUE(s.more_responses.empty());
}

TEST_F(ReloadTest, DaemonIdentifierLimitsLoadingAndPurgeToItsServices) {
  long mine = svc("0", 3), other = svc("0", 4);
  request(mine, "ADD");
  request(other, "ADD");
  request(other, "UPDATE");
  exec("UPDATE mavo_services SET service_delete=true WHERE service_id=" + std::to_string(other));
  tc.ctx.id_cluster = 3;
  pgConnectionPool* pool = newPool();
  reloadCycle(tc.ctx, pool);
  delete pool;
  EXPECT_EQ(drainQueues(), idSet({mine}));
  EXPECT_FALSE(tc.updates.find(other));
  EXPECT_FALSE(tc.deletions.find(other));
  EXPECT_EQ(pending(), 2);
  EXPECT_EQ(pending("pending_service_id=" + std::to_string(other)), 2);
}

// A marked service that is scheduled is marked once however many cycles see it, and dropped by
// its worker; one that is not scheduled (never loaded, or dropped already) has its row deleted.
TEST_F(ReloadTest, MarkedServicesAreMarkedOnceOrDeletedWhenNotScheduled) {
  long scheduled = svc(), unscheduled = svc();
  tc.scheduled.schedule(byHand(scheduled), [](service&) {});
  exec("UPDATE mavo_services SET service_delete=true");
  reloadCycle(tc.ctx, pool_);
  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(tc.deletions.size(), 1u);
  EXPECT_TRUE(tc.deletions.find(scheduled));
  deleteRemovedServices(tc.ctx, pool_);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(unscheduled)), 0);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(scheduled)), 1);
}

TEST_F(ReloadTest, DeletionLoopDeletesTheRowsOfRemovedServices) {
  long a = svc(), b = svc(), kept = svc();
  tc.dropped.push(byHand(a));
  tc.dropped.push(byHand(b));
  CoutCapture cap;
  deleteRemovedServices(tc.ctx, pool_);
  deleteRemovedServices(tc.ctx, pool_);  // empty queue: nothing happens
  EXPECT_TRUE(tc.dropped.empty());
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services"), 1);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(kept)), 1);
  const std::string log = cap.text();
  EXPECT_EQ(count(log, "#INFO#supression du service " + std::to_string(a) + "\n"), 1) << log;
  EXPECT_EQ(count(log, "#INFO#supression du service " + std::to_string(b) + "\n"), 1) << log;
  EXPECT_LT(log.find("service " + std::to_string(a)), log.find("service " + std::to_string(b)));
}

TEST_F(ReloadTest, FailingDeletionIsLoggedAndTheLoopGoesOn) {
  long refused = svc(), b = svc();
  exec(
      "CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'refused'; END; $$ "
      "LANGUAGE plpgsql");
  exec(
      "CREATE TRIGGER no_delete BEFORE DELETE ON mavo_services FOR EACH ROW WHEN "
      "(OLD.service_id = " +
      std::to_string(refused) + ") EXECUTE FUNCTION refuse()");
  tc.dropped.push(byHand(refused));
  tc.dropped.push(byHand(b));
  CoutCapture cap;
  deleteRemovedServices(tc.ctx, pool_);
  EXPECT_TRUE(tc.dropped.empty());
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(refused)), 1);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(b)), 0);
  const std::string log = cap.text();
  EXPECT_EQ(count(log, "#ERR#EXEC deleteservice failed: "), 1) << log;
  EXPECT_NE(log.find("refused"), std::string::npos) << log;
  // The row stays marked: a later cycle deletes it once the server lets it.
  exec("UPDATE mavo_services SET service_delete=true WHERE service_id=" + std::to_string(refused));
  exec("DROP TRIGGER no_delete ON mavo_services");
  reloadCycle(tc.ctx, pool_);
  deleteRemovedServices(tc.ctx, pool_);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(refused)), 0);
}

TEST_F(ReloadTest, OpenIncidentsOfServicesBackToOkAreAcknowledged) {
  long ok = svc("0", 0, 0), failing = svc("0", 0, 2);
  for (long id : {ok, failing})
    exec(
        "INSERT INTO mavo_error_happen (happen_error_id, happen_service_id, happen_acquitte) "
        "VALUES (1, " +
        std::to_string(id) + ", 0)");
  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(scalar("SELECT happen_acquitte::text || (happen_time_acquitte IS NOT NULL)::text "
                   "FROM mavo_error_happen WHERE happen_service_id=" +
                   std::to_string(ok)),
            "1true");
  EXPECT_EQ(scalar("SELECT happen_acquitte::text || (happen_time_acquitte IS NOT NULL)::text "
                   "FROM mavo_error_happen WHERE happen_service_id=" +
                   std::to_string(failing)),
            "0false");
}

TEST_F(ReloadTest, PlannedRowsStartingSoonBecomeWindows) {
  long s = svc(), deleted = svc(), held = svc();
  exec("UPDATE mavo_services SET service_delete=true WHERE service_id=" + std::to_string(deleted));
  auto window = [&](long service_id, const std::string& type, const std::string& from,
                    const std::string& to, int during) {
    return std::stoi(
        scalar("INSERT INTO mavo_maintenance_planned (planned_type, planned_start, planned_end, "
               "planned_during, planned_service_id) VALUES (" +
               quote(type) + ", date_trunc('second', now()) + interval '" + from +
               "', date_trunc('second', now()) + interval '" + to + "', " + std::to_string(during) +
               ", " + std::to_string(service_id) + ") RETURNING planned_id"));
  };
  const int exec_id = window(s, "EXEC", "-1 min", "30 min", 31);
  const int noexec_id = window(s, "NOEXEC", "5 min", "40 min", 35);
  const int later_id = window(s, "FIRSTERROR", "20 min", "50 min", 30);
  const int lower_id = window(s, "exec", "-1 min", "30 min", 31);
  const int ended_id = window(s, "EXEC", "-20 min", "-10 min", 10);
  const int of_deleted_id = window(deleted, "EXEC", "-1 min", "30 min", 31);
  const int held_id = window(held, "EXEC", "-1 min", "30 min", 31);
  // held_id is already loaded (for an old window): it is not added a second time.
  timeval past{1000, 0}, past_end{2000, 0};
  tc.maintenance.add(held_id, held, 1, past, past_end, 0);
  extra_windows_.push_back({held, held_id});

  reloadCycle(tc.ctx, pool_);

  for (int id : {exec_id, noexec_id, held_id}) EXPECT_TRUE(tc.maintenance.isPlannedIDPresent(id));
  for (int id : {later_id, lower_id, ended_id, of_deleted_id})
    EXPECT_FALSE(tc.maintenance.isPlannedIDPresent(id)) << id;

  auto epoch = [&](int planned_id, const char* column) {
    return std::stoll(scalar(std::string("SELECT cast(extract(epoch from ") + column +
                             ") as bigint) FROM mavo_maintenance_planned WHERE planned_id=" +
                             std::to_string(planned_id)));
  };
  const time_t start = epoch(exec_id, "planned_start"), end = epoch(exec_id, "planned_end");
  var_maintenance w = tc.maintenance.getMaintenanceInformationAt(s, start);
  EXPECT_EQ(w.type, 2);
  EXPECT_EQ(w.planned_id, exec_id);
  EXPECT_EQ(w.start.tv_sec, start);
  EXPECT_EQ(w.end.tv_sec, end);
  EXPECT_EQ(w.start.tv_usec, 0);
  EXPECT_EQ(w.during, 31);
  EXPECT_EQ(tc.maintenance.getMaintenanceInformationAt(s, end + 1).type, 1);  // the NOEXEC window
  EXPECT_EQ(tc.maintenance.getMaintenanceInformationAt(held, epoch(held_id, "planned_start")).type,
            0);
}

// Planned times carry no time zone: they are the server's wall-clock times. A window open now
// must be open now for the workers too when the server's zone is not UTC.
TEST_F(ReloadTest, WindowsNameTheSameInstantInAnyServerTimeZone) {
  long s = svc();
  PgConn admin(PQconnectdb((baseConninfo() + " dbname=postgres").c_str()));
  run(admin.get(), "ALTER DATABASE " + dbname() + " SET timezone TO 'Asia/Tokyo'");
  delete pool_;
  pool_ = newPool();
  const int id = std::stoi(
      scalar("INSERT INTO mavo_maintenance_planned (planned_type, planned_start, planned_end, "
             "planned_during, planned_service_id) VALUES ('EXEC', date_trunc('second', now() AT "
             "TIME ZONE 'Asia/Tokyo') - interval '1 min', date_trunc('second', now() AT TIME "
             "ZONE 'Asia/Tokyo') + interval '30 min', 31, " +
             std::to_string(s) + ") RETURNING planned_id"));
  reloadCycle(tc.ctx, pool_);
  ASSERT_TRUE(tc.maintenance.isPlannedIDPresent(id));
  timeval now;
  gettimeofday(&now, nullptr);
  const var_maintenance w = tc.maintenance.getMaintenanceInformationAt(s, now.tv_sec);
  EXPECT_EQ(w.type, 2);
  EXPECT_NEAR(static_cast<double>(w.start.tv_sec), static_cast<double>(now.tv_sec - 60), 5.0);
  EXPECT_NEAR(static_cast<double>(w.end.tv_sec), static_cast<double>(now.tv_sec + 1800), 5.0);
}

// A window the workers cannot use is logged once, with its id and service, and the others
// still load: a configuration's type is planned as written, quote included, but only the three
// known types make a window; a FIRSTERROR window written without its minutes cannot open its
// EXEC window, while the other types do not use them.
TEST_F(ReloadTest, UnusableWindowsAreLoggedOnceAndTheOthersLoad) {
  long s = svc(), t = svc();
  exec(
      "INSERT INTO mavo_maintenance_configuration (maintenance_conf_type, "
      "maintenance_conf_start_date, maintenance_conf_service_id, maintenance_conf_during, "
      "maintenance_conf_recurring) VALUES ('EX''EC', now(), " +
      std::to_string(s) + ", '1 hour', '1 day')");
  auto window = [&](long service_id, const std::string& type) {
    return scalar(
        "INSERT INTO mavo_maintenance_planned (planned_type, planned_start, planned_end, "
        "planned_during, planned_service_id) VALUES (" +
        quote(type) +
        ", date_trunc('second', now()), date_trunc('second', now()) + interval "
        "'1 hour', NULL, " +
        std::to_string(service_id) + ") RETURNING planned_id");
  };
  const std::string first_error = window(s, "FIRSTERROR");
  const std::string exec_window = window(t, "EXEC");
  CoutCapture cap;
  reloadCycle(tc.ctx, pool_);
  reloadCycle(tc.ctx, pool_);
  const std::string quoted = scalar(
      "SELECT planned_id FROM mavo_maintenance_planned WHERE "
      "planned_type='EX''EC'");
  ASSERT_NE(quoted, "");
  const std::string text = cap.text();
  EXPECT_EQ(
      count(text, "#ERR#maintenance window " + quoted + " of service " + std::to_string(s) +
                      " ignored: unknown planned_type 'EX'EC' (NOEXEC, EXEC or FIRSTERROR)\n"),
      1)
      << text;
  EXPECT_EQ(count(text, "#ERR#maintenance window " + first_error + " of service " +
                            std::to_string(s) + " ignored: planned_during is NULL\n"),
            1)
      << text;
  EXPECT_EQ(count(text, "#ERR#"), 2) << text;
  EXPECT_FALSE(tc.maintenance.isPlannedIDPresent(std::stoi(quoted)));
  EXPECT_FALSE(tc.maintenance.isPlannedIDPresent(std::stoi(first_error)));
  ASSERT_TRUE(tc.maintenance.isPlannedIDPresent(std::stoi(exec_window)));
  const var_maintenance w = tc.maintenance.getMaintenanceInformationAt(
      t, std::stoll(scalar("SELECT cast(extract(epoch from date_trunc('second', now())) as "
                           "bigint)")));
  EXPECT_EQ(w.type, 2);
  EXPECT_EQ(w.during, 0);
}

TEST_F(ReloadTest, WindowsEndedHalfAnHourAgoAreDeleted) {
  long s = svc();
  for (const char* end : {"-31 min", "-29 min", "10 min"})
    exec(
        "INSERT INTO mavo_maintenance_planned (planned_type, planned_start, planned_end, "
        "planned_during, planned_service_id) VALUES ('EXEC', now() - interval '2 hours', now() "
        "+ interval '" +
        std::string(end) + "', 0, " + std::to_string(s) + ")");
  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_maintenance_planned"), 2);
  EXPECT_EQ(rows("SELECT 1 FROM mavo_maintenance_planned WHERE planned_end < now() - interval "
                 "'30 min'"),
            0);
}

// A request written while the cycle is between its reads and its purge is kept for the next
// cycle. The cycle is held inside its reads by a lock on the keyword table, which the loader
// reads for a service with an authentication-file macro.
TEST_F(ReloadTest, RequestWrittenDuringTheCycleSurvivesThePurge) {
  long early = svc("-f $AUTH_FILE_key"), late = svc();
  request(early, "ADD");
  PgConn blocker = otherConnection();
  run(blocker.get(), "BEGIN");
  run(blocker.get(), "LOCK TABLE mavo_device_advance_config IN ACCESS EXCLUSIVE MODE");

  CoutCapture cap;
  std::thread cycle([&] { reloadCycle(tc.ctx, pool_); });
  ASSERT_TRUE(someoneWaitsForALock());
  request(late, "ADD");
  request(early, "UPDATE");
  run(blocker.get(), "ROLLBACK");
  cycle.join();

  EXPECT_EQ(drainQueues(), idSet({early}));
  EXPECT_FALSE(tc.updates.find(early));
  EXPECT_EQ(pending(), 2);
  EXPECT_EQ(pending("pending_service_id=" + std::to_string(late) + " AND pending_type='ADD'"), 1);

  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(drainQueues(), idSet({late}));
  EXPECT_TRUE(tc.updates.find(early));
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(count(cap.text(), "#ERR#"), 0) << cap.text();
}

// Another session holds some requests (a tool deleting one, an editor's open transaction):
// the cycle does not wait for them, applies the others and says once which wait; each is then
// applied once when it is free, or never when the other session deleted it.
TEST_F(ReloadTest, LockedRequestsWaitAloneAndAreAppliedOnce) {
  long a = svc(), b = svc(), c = svc();
  for (long id : {a, b, c}) request(id, "ADD");
  PgConn other = otherConnection();
  run(other.get(), "BEGIN");
  run(other.get(),
      "DELETE FROM mavo_service_pending_execute WHERE pending_service_id=" + std::to_string(a));
  run(other.get(), "SELECT 1 FROM mavo_service_pending_execute WHERE pending_service_id=" +
                       std::to_string(b) + " FOR UPDATE");

  CoutCapture cap;
  reloadCycle(tc.ctx, pool_);
  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(drainQueues(), idSet({c}));
  EXPECT_EQ(pending(), 2);
  for (long id : {a, b})
    EXPECT_EQ(count(cap.text(), "#ERR#change request ADD of service " + std::to_string(id) +
                                    " is locked by another session: it is applied at a later "
                                    "cycle"),
              1)
        << cap.text();
  EXPECT_EQ(count(cap.text(), "#ERR#"), 2) << cap.text();

  run(other.get(), "COMMIT");
  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(drainQueues(), idSet({b}));
  EXPECT_FALSE(tc.updates.find(b));
  EXPECT_EQ(pending(), 0);
}

TEST_F(ReloadTest, FailingChangeRequestsFailAloneAndRollBack) {
  long a = svc(), ok = svc("0", 0, 0);
  request(a, "ADD");
  exec("INSERT INTO mavo_error_happen (happen_error_id, happen_service_id) VALUES (1, " +
       std::to_string(ok) + ")");
  // The change requests cannot be read: that part fails and rolls back, the acknowledgement of
  // left-over incidents still runs.
  exec("ALTER TABLE mavo_service_pending_execute RENAME COLUMN pending_type TO pending_kind");
  CoutCapture cap;
  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(count(cap.text(), "#ERR#EXEC th loaddell: "), 1) << cap.text();
  EXPECT_EQ(pending(), 1);
  EXPECT_TRUE(drainQueues().empty());
  EXPECT_EQ(scalar("SELECT happen_acquitte FROM mavo_error_happen"), "1");
  // The connection is usable again: the transaction was rolled back.
  EXPECT_NO_THROW(PgResult(pool_->executeRequest("SELECT 1")));
}

TEST_F(ReloadTest, RefusedMaintenanceConfigurationDoesNotStopTheCycle) {
  long a = svc();
  request(a, "ADD");
  exec(
      "INSERT INTO mavo_maintenance_configuration (maintenance_conf_type, "
      "maintenance_conf_start_date, maintenance_conf_service_id, maintenance_conf_during) "
      "VALUES ('EXEC', now(), " +
      std::to_string(a) + ", '300000 years')");  // past the last timestamp: the insertion fails
  CoutCapture cap;
  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(drainQueues().size(), 1u);
  EXPECT_NE(cap.text().find("is not planned: "), std::string::npos) << cap.text();
}

// The thread runs its first cycle at once, wakes from its 300 s sleep on a stop, and runs the
// deletion loop before it ends.
TEST_F(ReloadTest, ThreadCyclesAtOnceAndEndsOnStop) {
  long a = svc(), gone = svc();
  request(a, "ADD");
  tc.ctx.main_pool = newPool(false);
  std::atomic<bool> ended{false};
  CoutCapture cap;
  std::thread t([&] {
    thread_load_delete_service(&tc.ctx);
    ended = true;
  });
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }, 10000));
  EXPECT_TRUE(waitFor([&] { return tc.cores[0]->wait_queue->size() == 1; }, 10000));
  tc.dropped.push(byHand(gone));
  requestStop();
  wakeStopSleepers();
  EXPECT_TRUE(waitFor([&] { return ended.load(); }, 10000));
  t.join();
  EXPECT_EQ(rows("SELECT 1 FROM mavo_services WHERE service_id=" + std::to_string(gone)), 0);
  EXPECT_EQ(count(cap.text(), "#ERR#"), 0) << cap.text();
}

TEST_F(ReloadTest, FailedPreparationIsRetriedUntilStop) {
  long a = svc();
  request(a, "ADD");
  tc.ctx.main_pool = newPool(false);
  // The name is taken on the connection behind the pool's back: every preparation fails.
  tc.ctx.main_pool->getNextConnection()->prepareRequest("acquitte_fantom", sql::kAcquitteFantom);
  std::atomic<bool> ended{false};
  CoutCapture cap;
  std::thread t([&] {
    thread_load_delete_service(&tc.ctx);
    ended = true;
  });
  EXPECT_TRUE(waitFor(
      [&] { return count(cap.text(), "#ERR#Connection to database Administration failed:  ") > 0; },
      10000));
  EXPECT_FALSE(ended.load());
  requestStop();
  wakeStopSleepers();
  t.join();
  EXPECT_EQ(pending(), 1);
}

// The thread survives an outage: the failed cycles are logged, and once the database is back a
// change request made after the outage is applied.
TEST_F(ReloadTest, ThreadSurvivesADatabaseOutage) {
  long a = svc();
  request(a, "ADD");
  tc.ctx.reload_period = 1;
  tc.ctx.main_pool = newPool(false);
  const int backend = tc.ctx.main_pool->getNextConnection()->backendPid();
  std::atomic<bool> ended{false};
  CoutCapture cap;
  std::thread t([&] {
    thread_load_delete_service(&tc.ctx);
    ended = true;
  });
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }, 10000));
  PgConn admin(PQconnectdb((baseConninfo() + " dbname=postgres").c_str()));
  // Only from another database: a session cannot forbid connections to its own.
  run(admin.get(), "ALTER DATABASE " + dbname() + " WITH ALLOW_CONNECTIONS false");
  exec("SELECT pg_terminate_backend(" + std::to_string(backend) + ")");
  EXPECT_TRUE(waitFor(
      [&] { return count(cap.text(), "#ERR#Connection to database Administration failed:  ") > 0; },
      15000))
      << cap.text();
  EXPECT_FALSE(ended.load());
  run(admin.get(), "ALTER DATABASE " + dbname() + " WITH ALLOW_CONNECTIONS true");
  long b = svc();
  request(b, "ADD");
  EXPECT_TRUE(waitFor([&] { return pending() == 0; }, 15000)) << cap.text();
  EXPECT_NE(cap.text().find("#INFO#database connection re-established"), std::string::npos);
  requestStop();
  wakeStopSleepers();
  t.join();
  EXPECT_EQ(drainQueues().size(), 2u);
}

// The connection breaks while the cycle is inside its reads. Nothing may be purged then (a
// request written meanwhile would be deleted unread), and nothing of the cycle may go on
// outside the transaction on a re-established connection.
TEST_F(ReloadTest, ConnectionReestablishedDuringTheCycleLosesNoRequest) {
  long early = svc("-f $AUTH_FILE_key"), late = svc();
  request(early, "ADD");
  const std::string first_backend = std::to_string(pool_->getNextConnection()->backendPid());
  PgConn blocker = otherConnection();
  run(blocker.get(), "BEGIN");
  run(blocker.get(), "LOCK TABLE mavo_device_advance_config IN ACCESS EXCLUSIVE MODE");
  auto waiting = [&](const std::string& condition) {
    return waitFor(
        [&] {
          return scalar(
                     "SELECT count(*) FROM pg_stat_activity WHERE datname=current_database() "
                     "AND wait_event_type='Lock' AND " +
                     condition) != "0";
        },
        10000);
  };

  // A window that ended long ago: the purge after the change requests deletes it.
  const std::string old_window = scalar(
      "INSERT INTO mavo_maintenance_planned (planned_type, planned_start, planned_end, "
      "planned_during, planned_service_id) VALUES ('EXEC', now() - interval '3 hours', "
      "now() - interval '2 hours', 0, " +
      std::to_string(late) + ") RETURNING planned_id");

  CoutCapture cap;
  std::thread cycle([&] { reloadCycle(tc.ctx, pool_); });
  ASSERT_TRUE(waiting("pid=" + first_backend));
  request(late, "ADD");
  exec("SELECT pg_terminate_backend(" + first_backend + ")");
  run(blocker.get(), "ROLLBACK");
  // Inside the transaction nothing is sent again on a re-established connection: the
  // change-request part fails and leaves every request for the next cycle.
  cycle.join();
  EXPECT_EQ(count(cap.text(), "#ERR#EXEC th loaddell: "), 1) << cap.text();
  EXPECT_EQ(pending("pending_service_id=" + std::to_string(late)), 1);
  // The rest of the cycle ran on the re-established connection.
  EXPECT_EQ(scalar("SELECT count(*) FROM mavo_maintenance_planned WHERE planned_id=" + old_window),
            "0");

  drainQueues();
  reloadCycle(tc.ctx, pool_);
  EXPECT_EQ(drainQueues().count(late), 1u);
  EXPECT_EQ(pending(), 0);
}

// A property of the whole path from change requests to the schedule, over random sequences of
// ADD and UPDATE requests (for new and for scheduled services), deletion marks, reload cycles
// whose connection is broken at a random point, runs of the scheduled services and daemon
// restarts: after every step each scheduled service has exactly one copy (in the queues: no
// worker holds one between steps), every service whose request was applied and that is not
// marked is scheduled, a service whose mark was applied never runs again, and a service that
// ran is due again one interval later.
TEST_F(ReloadTest, EveryServiceIsScheduledOnceWhateverHappens) {
  for (infoThread* c : tc.cores) destroyCore(c);
  tc.cores.clear();
  for (int i = 0; i < 2; ++i) tc.addCore(conninfo(), 1);
  pool_->prepareRequest("reloadService", sql::reloadServiceQuery(0));
  TempDir dir;
  const std::string runs_file = dir.file("runs");
  const long plugin =
      addPlugin(dir.script("run", "/bin/echo \"$1\" >> " + runs_file + "\n/bin/echo ok\n"));
  const int kIntervalMs = 60000;
  CoutCapture quiet;  // the cycles log their broken connections
  // Cycles whose change requests were committed, and those that a broken connection left
  // pending: both must occur, or the breaks did not land where they matter.
  int committed_cycles = 0, interrupted_cycles = 0;
  int64_t cycle_us = 20000;  // how long the last cycle took: breaks land within it

  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    std::vector<long> all;   // every service row made
    std::set<long> applied;  // its ADD or UPDATE was applied, or it was loaded at a restart
    std::set<long> dropped;  // marked, and the mark was applied: never to run again
    std::set<long> marked;   // marked in the database
    size_t runs_seen = readFile(runs_file).size();

    auto copies = [&] {
      std::multiset<unsigned long long> ids;
      for (infoThread* c : tc.cores) {
        std::vector<service> held;
        while (!c->wait_queue->empty()) held.push_back(c->wait_queue->pop());
        for (service& x : held) {
          ids.insert(x.service_id);
          c->wait_queue->push(std::move(x));
        }
        ScopedLock lock(&c->execute_queue->mutex_queue);
        for (const auto& x : c->execute_queue->queue) ids.insert(x->service_id);
      }
      return ids;
    };
    auto check = [&](const std::string& step) {
      SCOPED_TRACE(step);
      const std::multiset<unsigned long long> held = copies();
      for (long id : all) {
        const size_t n = held.count(id);
        EXPECT_LE(n, 1u) << "service " << id << " held " << n << " times";
        EXPECT_EQ(n == 1, tc.scheduled.contains(id)) << "service " << id;
        if (tc.updates.find(id)) {
          EXPECT_TRUE(tc.scheduled.contains(id)) << id;
        }
        if (tc.deletions.find(id)) {
          EXPECT_TRUE(tc.scheduled.contains(id)) << id;
        }
        if (applied.count(id) && !marked.count(id)) {
          EXPECT_EQ(n, 1u) << "service " << id << " applied but not scheduled";
        }
      }
      EXPECT_EQ(held.size(), tc.scheduled.size());
    };
    auto request_for = [&](long id, const char* type) {
      exec("INSERT INTO mavo_service_pending_execute VALUES (" + std::to_string(id) + ", '" + type +
           "')");
    };
    auto cycle = [&] {
      // A request that is always there tells whether the change requests were committed.
      request_for(all.empty() ? 0 : all[pick(all.size())], "UPDATE");
      std::set<long> requested;
      PgResult r = exec("SELECT pending_service_id FROM mavo_service_pending_execute");
      for (int i = 0; i < PQntuples(r.get()); ++i)
        requested.insert(std::stol(PQgetvalue(r.get(), i, 0)));
      const std::set<long> marks_before = marked;
      const int backend = pool_->getNextConnection()->backendPid();
      // Most breaks land at a random point of the cycle (its length taken from the last one,
      // the connection made beforehand); one in four after it.
      PgConn breaker_conn(PQconnectdb(conninfo().c_str()));
      const int64_t delay_us =
          pick(4) == 0 ? 4 * cycle_us + 10000 : static_cast<int64_t>(pick(cycle_us + 1));
      std::thread breaker([&, backend, delay_us] {
        usleep(static_cast<useconds_t>(delay_us));
        PgResult(PQexec(breaker_conn.get(),
                        ("SELECT pg_terminate_backend(" + std::to_string(backend) + ")").c_str()));
      });
      const auto started = std::chrono::steady_clock::now();
      reloadCycle(tc.ctx, pool_);
      const int64_t took = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now() - started)
                               .count();
      breaker.join();
      deleteRemovedServices(tc.ctx, pool_);
      if (pending() == 0) {
        ++committed_cycles;
        cycle_us = std::max<int64_t>(1000, took);
        for (long id : requested)
          if (id != 0 && !marks_before.count(id)) applied.insert(id);
        dropped.insert(marks_before.begin(), marks_before.end());
      } else {
        ++interrupted_cycles;
      }
    };
    auto runAll = [&] {
      const timeval now = monotonicNow();
      for (infoThread* c : tc.cores) {
        std::vector<service> due;
        while (!c->wait_queue->empty()) due.push_back(c->wait_queue->pop());
        for (service& x : due) handleService(tc.ctx, *c, std::move(x), "42");
        std::vector<service> back;
        while (!c->wait_queue->empty()) back.push_back(c->wait_queue->pop());
        for (service& x : back) {
          EXPECT_NEAR(static_cast<double>(x.next_exec_time.tv_sec - now.tv_sec), kIntervalMs / 1000,
                      2)
              << "service " << x.service_id;
          c->wait_queue->push(std::move(x));
        }
      }
      const std::string text = readFile(runs_file);
      std::istringstream in(text.substr(runs_seen));
      runs_seen = text.size();
      for (std::string line; std::getline(in, line);)
        EXPECT_EQ(dropped.count(std::stol(line)), 0u) << "deleted service " << line << " ran";
    };
    auto restart = [&] {
      for (infoThread* c : tc.cores) {
        while (!c->wait_queue->empty()) c->wait_queue->pop();
        ScopedLock lock(&c->execute_queue->mutex_queue);
        c->execute_queue->queue.clear();
      }
      for (long id : all) {
        tc.deletions.erase(id);
        if (tc.updates.find(id)) tc.updates.getService(id);
      }
      while (!tc.dropped.empty()) tc.dropped.pop();
      tc.scheduled.clear();
      PgResult(pool_->executeRequest(sql::deleteMarkedServicesQuery(0)));
      dropped.insert(marked.begin(), marked.end());
      applied.clear();
      PgResult r = exec("SELECT service_id FROM mavo_services");
      for (int i = 0; i < PQntuples(r.get()); ++i)
        applied.insert(std::stol(PQgetvalue(r.get(), i, 0)));
      load_script(tc.ctx, pool_, "reloadService");
    };

    for (int step = 0; step < 60; ++step) {
      const size_t what = pick(10);
      std::string name;
      if (what <= 1 || all.empty()) {
        name = "add";
        all.push_back(addService("p", plugin, device_, kIntervalMs, "$SERID"));
        ids_.insert(all.back());
        request_for(all.back(), "ADD");
        if (pick(3) == 0) request_for(all.back(), "ADD");
      } else if (what == 2) {
        name = "update";
        const long id = all[pick(all.size())];
        exec("UPDATE mavo_services SET service_name='p" + std::to_string(step) +
             "' WHERE service_id=" + std::to_string(id));
        request_for(id, "UPDATE");
      } else if (what == 3) {
        name = "add again";
        request_for(all[pick(all.size())], "ADD");
      } else if (what == 4) {
        name = "mark";
        const long id = all[pick(all.size())];
        exec("UPDATE mavo_services SET service_delete=true WHERE service_id=" + std::to_string(id));
        marked.insert(id);
      } else if (what <= 7) {
        name = "cycle";
        cycle();
      } else if (what == 8) {
        name = "run";
        runAll();
      } else {
        name = "restart";
        restart();
      }
      check("step " + std::to_string(step) + ": " + name);
      if (::testing::Test::HasFailure()) return;
    }
    restart();  // the next seed starts from what is in the database
  }
  EXPECT_GT(committed_cycles, 0);
  EXPECT_GT(interrupted_cycles, 0);
}

}  // namespace
