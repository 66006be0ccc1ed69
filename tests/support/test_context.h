#pragma once
// A scheduling context of a test's own: fresh containers, the settings at their defaults, and
// the cores the test adds, released with it. Tests build one instead of resetting the daemon's
// process-wide objects. Header only: tests that use it link sched.

#include <pthread.h>

#include <map>
#include <string>
#include <vector>

#include "db/pg_handles.h"
#include "db/statements.h"
#include "maintenance/maintenance.h"
#include "sched/context.h"
#include "sched/delete_list.h"
#include "sched/execute_queue.h"
#include "sched/info_thread.h"
#include "sched/result_journal.h"
#include "sched/scheduled_services.h"
#include "sched/update_service_map.h"

struct TestContext {
  std::vector<infoThread*> cores;
  UpdateServiceMap updates;
  DeleteList deletions;
  ScheduledServiceSet scheduled{updates, deletions};
  ExecuteQueue<service> dropped;
  Maintenance maintenance;
  std::map<std::string, std::string> error_ids;
  ResultJournal journal;
  SchedContext ctx;

  TestContext() {
    ctx.cores = &cores;
    ctx.scheduled = &scheduled;
    ctx.updates = &updates;
    ctx.deletions = &deletions;
    ctx.dropped = &dropped;
    ctx.maintenance = &maintenance;
    ctx.error_ids = &error_ids;
    ctx.journal = &journal;
  }
  ~TestContext() {
    for (infoThread* c : cores) destroyCore(c);
  }
  TestContext(const TestContext&) = delete;
  TestContext& operator=(const TestContext&) = delete;

  // A core as main makes it: a pool of connections on conninfo with the workers' statements.
  infoThread* addCore(const std::string& conninfo, int connections = 1,
                      int timeout_seconds = kDefaultPgTimeoutSeconds) {
    infoThread* c = createCore(conninfo, connections, timeout_seconds);
    for (const auto& st : sql::coreStatements())
      c->pool->prepareRequest(st.name, st.text, st.nparams);
    c->context = &ctx;
    cores.push_back(c);
    return c;
  }
  // A core without a database pool, for the loaders.
  infoThread* addBareCore() {
    auto* c = new infoThread{new WaitServiceQueue,
                             new DueQueue,
                             new std::vector<pthread_t>,
                             {},
                             nullptr,
                             0,
                             0.0f,
                             &ctx,
                             {}};
    pthread_mutex_init(&c->mutex_busy, nullptr);
    cores.push_back(c);
    return c;
  }
  // The error kinds of the database (what start-up reads into map_error).
  void loadErrorIds(const std::string& conninfo) {
    PgConn conn(PQconnectdb(conninfo.c_str()));
    PgResult r(PQexec(conn.get(), "SELECT error_id, error_name FROM mavo_errors"));
    for (int i = 0; i < PQntuples(r.get()); ++i)
      error_ids[PQgetvalue(r.get(), i, 1)] = PQgetvalue(r.get(), i, 0);
  }
  // Every service of a core's wait queue, popped.
  std::vector<service> drain(size_t core) {
    std::vector<service> out;
    while (!cores[core]->wait_queue->empty()) out.push_back(cores[core]->wait_queue->pop());
    return out;
  }
};
