// The reload thread: once per period it plans maintenance, loads new and changed services,
// hands the ids of services marked for deletion to the workers, clears the change requests,
// acknowledges left-over incidents, loads the maintenance windows that start soon and purges
// old ones; after its sleep it deletes the rows of the services the workers took out.
//
// Runs in one thread, on the context's main pool (pgSQL), which nobody else uses once start-up is
// over. It holds no lock of its own: the containers it feeds (deletions, dropped, updates,
// maintenance, the cores' wait queues) take theirs inside each call.
//
// Change requests: the requests are read (new services, changed services) and purged inside
// one REPEATABLE READ transaction, so the purge deletes exactly the requests the reads saw. A
// request written by another tool while the cycle runs is outside the snapshot: it survives the
// purge and is read by the next cycle. The transaction first locks the request rows it will
// purge; a tool that deletes or changes one of them meanwhile makes that first statement fail,
// before any service has been loaded, so no request is ever applied and then kept for a second
// time. The transaction holds one connection of the pool for the thread, and every query the
// loaders make inside it runs there; a connection lost inside it fails the rest of the cycle.
// When the connection breaks during the cycle, nothing is purged: a request is never lost, but
// the requests read before the break are applied again by the next cycle.

#include "reload/reload.h"

#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cluster/cluster_state.h"
#include "core/conversions.h"
#include "core/log.h"
#include "core/settings.h"
#include "db/array_text.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "db/transaction.h"
#include "loader/loader.h"
#include "maintenance/maintenance.h"
#include "maintenance/planner.h"
#include "sched/context.h"
#include "sched/delete_list.h"
#include "sched/execute_queue.h"
#include "sched/scheduled_services.h"

namespace {

const std::map<std::string, int> kMaintenanceModes = {
    {"NOEXEC", 1}, {"EXEC", 2}, {"FIRSTERROR", 3}};

// Planned windows already reported as ignored: such a row is read again at every cycle until
// it is purged, and logged once. Used by the reload thread only.
std::set<std::string> reported_windows;

timeval seconds(int64_t s) {
  timeval t;
  t.tv_sec = static_cast<time_t>(s);
  t.tv_usec = 0;
  return t;
}

// New services, changed services, deletions, then the purge of the requests, in one
// transaction.
// Marked services of this daemon that it does not schedule: their rows are deleted at once (no
// worker holds them to hand over). Used by the reload thread only.
std::vector<unsigned long long> unscheduled_marked;

// Change requests held by another session at the last cycle ("ID TYPE"), so that each is logged
// once while it waits. Used by the reload thread only.
std::set<std::string> waiting_requests;

// The requests of this cycle: those it locked (their row ids, and the services by type), and
// the services of the requests another session holds, which wait for a later cycle.
struct HeldRequests {
  std::vector<std::string> tids;
  IdSet add, update;                  // services whose request this cycle holds
  IdSet waiting_add, waiting_update;  // services whose every request of that type waits
};

// The parameters of the cycle's statements: the buckets this daemon owns, when several daemons
// share the identifier (a request, a mark or a window of another's service is left to it).
std::vector<std::string> ownedParams(const SchedContext& ctx) {
  if (ctx.cluster == nullptr) return {};
  return {ctx.cluster->ownedArray()};
}

HeldRequests lockRequests(const SchedContext& ctx, pgConnectionPool* pool) {
  HeldRequests held;
  const std::vector<std::string> owned = ownedParams(ctx);
  auto query = [&](const std::string& plain, const std::string& narrowed) {
    return owned.empty() ? pool->executeRequest(plain) : pool->executeParamRequest(narrowed, owned);
  };
  {
    PgResult rows(query(sql::lockPendingQuery(ctx.id_cluster),
                        sql::cluster::lockPendingQuery(ctx.id_cluster)));
    for (int r = 0; r < PQntuples(rows.get()); ++r) {
      held.tids.push_back(PQgetvalue(rows.get(), r, 0));
      const unsigned long long id = std::stoull(PQgetvalue(rows.get(), r, 1));
      (std::string(PQgetvalue(rows.get(), r, 2)) == "ADD" ? held.add : held.update).insert(id);
    }
  }
  std::set<std::string> waiting;
  PgResult rows(query(sql::pendingRequestsQuery(ctx.id_cluster),
                      sql::cluster::pendingRequestsQuery(ctx.id_cluster)));
  for (int r = 0; r < PQntuples(rows.get()); ++r) {
    const std::string type = PQgetvalue(rows.get(), r, 1);
    const unsigned long long id = std::stoull(PQgetvalue(rows.get(), r, 0));
    const bool add = type == "ADD";
    if ((add ? held.add : held.update).count(id) != 0) continue;
    (add ? held.waiting_add : held.waiting_update).insert(id);
    const std::string key = std::to_string(id) + " " + type;
    if (waiting.insert(key).second && waiting_requests.count(key) == 0)
      write_log("ERR", "change request " + type + " of service " + std::to_string(id) +
                           " is locked by another session: it is applied at a later cycle");
  }
  waiting_requests.swap(waiting);
  return held;
}

// "{"(0,1)","(0,2)"}": row ids as a text array.
std::string tidArray(const std::vector<std::string>& tids) {
  ArrayText a;
  for (const std::string& t : tids) a.add(t);
  return a.str();
}

void applyChangeRequests(const SchedContext& ctx, pgConnectionPool* pool) {
  // The transaction holds the pool's connection for the thread: the loaders' queries below run
  // on it too, and a connection lost in between fails the rest of the part instead of going on
  // outside the transaction. Its first statement takes the snapshot and locks the requests
  // that the purge will delete; a request another session holds (an editor's open
  // transaction) is not waited for: it stays for a later cycle, and the others go on.
  PgTransaction transaction(*pool, sql::kBeginRepeatableRead);
  const HeldRequests held = lockRequests(ctx, pool);

  // Deletions first: a service marked for deletion is neither loaded nor reloaded.
  Trace("th_loaddel#test s'il y a des services à supprimer");
  IdSet marked;
  std::vector<unsigned long long> unscheduled;
  {
    PgResult rows(pool->executePrepareRequest("checkDeleteService", ownedParams(ctx)));
    for (int r = 0; r < PQntuples(rows.get()); ++r)
      marked.insert(std::stoull(PQgetvalue(rows.get(), r, 0), nullptr, 10));
  }
  // The worker that next takes a marked service drops it and hands it over for its row to be
  // deleted; a marked service that is not scheduled has its row deleted after the sleep.
  for (unsigned long long id : marked)
    if (!ctx.scheduled->markForDeletion(id)) unscheduled.push_back(id);
  Trace("th_loaddel#les service à supprimer on bien été mis dans le vecteur de suppression");

  Trace("th_loaddel#on test s'il y a des nouveaux services");
  IdSet skip = marked;
  skip.insert(held.waiting_add.begin(), held.waiting_add.end());
  load_script(ctx, pool, "getNewService", &skip, ownedParams(ctx));

  Trace("th_loaddel#test s'il y a des services à mettre à jour");
  skip = marked;
  skip.insert(held.waiting_update.begin(), held.waiting_update.end());
  load_UpdateService(ctx, pool, "updateService", &skip, ownedParams(ctx));

  Trace("th_loaddel#purge de la table d'attente");
  // Only the requests this cycle holds go: with several daemons, the others' stay for them.
  if (held.waiting_add.empty() && held.waiting_update.empty() && ctx.cluster == nullptr)
    PgResult(pool->executePrepareRequest("purge_pending"));
  else if (!held.tids.empty())
    PgResult(pool->executeParamRequest(sql::kDeleteHeldPending, {tidArray(held.tids)}));
  transaction.commit();
  Trace("th_loaddel#purge reussi");
  unscheduled_marked.swap(unscheduled);
}

// Deletes the row of a service marked for deletion; a failure is logged and the row stays
// marked, so that the next cycle tries again.
void deleteRow(pgConnectionPool* pool, unsigned long long id) {
  write_log("INFO", "supression du service " + std::to_string(id));
  std::vector<std::string> params = {std::to_string(id)};
  Trace("th_loaddel#On supprime le service");
  try {
    PgResult(pool->executePrepareRequest("del_service", params));
    Trace("th_loaddel#suppression reussi");
  } catch (const PostgresqlException& e) {
    write_log("ERR", std::string("EXEC deleteservice failed: ") + e.what());
  }
}

// Runs one part of the cycle; a failure is logged with prefix and noted in *failed. True when
// the part lost the database connection.
template <typename Part>
bool runPart(const char* prefix, bool* failed, Part part) {
  try {
    part();
  } catch (const PostgresqlException& e) {
    write_log("ERR", std::string(prefix) + e.what());
    *failed = true;
    return e.connectionLost();
  } catch (const std::exception& e) {
    write_log("ERR", std::string(prefix) + e.what());
    *failed = true;
  }
  return false;
}

// The planned windows that start within 10 minutes join the maintenance table.
void loadPlannedWindows(const SchedContext& ctx, pgConnectionPool* pool) {
  Trace("th_loaddel#MAINTENANCE# load param");
  PgResult planned(pool->executePrepareRequest("maintenance_planned"));
  namespace col = sql::planned_column;
  for (int r = 0; r < PQntuples(planned.get()); ++r) {
    auto text = [&](int c) { return std::string(PQgetvalue(planned.get(), r, c)); };
    auto ignore = [&](const std::string& why) {
      if (reported_windows.insert(text(col::kPlannedId)).second)
        write_log("ERR", "maintenance window " + text(col::kPlannedId) + " of service " +
                             text(col::kServiceId) + " ignored: " + why);
    };
    const std::string mode = text(col::kType);
    Trace("th_loaddel#MAINTENANCE#Type maintenance" + mode);
    auto found = kMaintenanceModes.find(mode);
    if (found == kMaintenanceModes.end()) {
      ignore("unknown planned_type '" + mode + "' (NOEXEC, EXEC or FIRSTERROR)");
      continue;
    }
    // Only a FIRSTERROR window uses its minutes; the others do without them.
    const bool no_minutes = PQgetisnull(planned.get(), r, col::kDuring) != 0;
    if (no_minutes && found->second == 3) {
      ignore("planned_during is NULL");
      continue;
    }
    Trace("th_loaddel#MAINTENANCE#MODE TROUVER" + mode);
    const int planned_id = std::stoi(text(col::kPlannedId));
    if (ctx.maintenance->isPlannedIDPresent(planned_id)) continue;
    Trace("th_loaddel#MAINTENANCE#AJOUT" + std::to_string(found->second) + " " +
          text(col::kServiceId));
    Trace("th_loaddel#MAINTENANCE# " + text(col::kStart));
    ctx.maintenance->add(planned_id,
                         static_cast<unsigned long>(stringToLongInt(text(col::kServiceId))),
                         found->second, seconds(stringToLongLongInt(text(col::kStart))),
                         seconds(stringToLongLongInt(text(col::kEnd))),
                         no_minutes ? 0 : std::stoi(text(col::kDuring)));
  }
}

}  // namespace

void prepareReloadStatements(pgConnectionPool* pool, int id_cluster, bool shared) {
  for (auto st : sql::reloadStatements(id_cluster)) {
    // With several daemons, the requests and marks a daemon takes are those of its buckets.
    if (shared && st.name == "getNewService")
      st.text = sql::cluster::getNewServiceQuery(id_cluster);
    if (shared && st.name == "updateService")
      st.text = sql::cluster::updateServiceQuery(id_cluster);
    if (shared && st.name == "checkDeleteService")
      st.text = sql::cluster::checkDeleteServiceQuery(id_cluster);
    if (pool->hasPrepared(st.name)) continue;  // prepared by an earlier, interrupted attempt
    if (st.nparams < 0)
      pool->prepareRequest(st.name, st.text);
    else
      pool->prepareRequest(st.name, st.text, st.nparams);
  }
}

void reloadCycle(const SchedContext& ctx, pgConnectionPool* pool) {
  // Each part fails alone: its failure is logged and the others still run. A lost connection
  // is re-established for the next part (one session killed, a failover); when that part loses
  // it too, the database is gone and the rest would only wait for it as well.
  const char* kFailed = "EXEC th loaddell: ";
  bool failed = false;
  bool lost = false;  // the part before lost the connection
  bool gone = false;  // two parts in a row did: the rest waits for the next cycle
  auto part = [&](const char* prefix, auto body) {
    // Once the daemon stops, the part in progress is the last: the stop waits for no other.
    if (gone || stopRequested()) return;
    const bool now_lost = runPart(prefix, &failed, body);
    gone = lost && now_lost;
    lost = now_lost;
  };
  part("Connection to database Administration failed:  ", [&] {
    const std::vector<std::string> owned = ownedParams(ctx);
    loadMaintenance(pool, ctx.id_cluster, owned.empty() ? "" : owned[0]);
  });
  part(kFailed, [&] { applyChangeRequests(ctx, pool); });
  part(kFailed, [&] { PgResult(pool->executePrepareRequest("acquitte_fantom")); });
  part(kFailed, [&] { loadPlannedWindows(ctx, pool); });
  part(kFailed, [&] { PgResult(pool->executePrepareRequest("maintenance_delete")); });
  if (ctx.counters != nullptr)
    (failed ? ctx.counters->reload_failed : ctx.counters->reload_ok)
        .fetch_add(1, std::memory_order_relaxed);
}

void deleteRemovedServices(const SchedContext& ctx, pgConnectionPool* pool) {
  // Only this thread pops the dropped services, so the queue cannot empty between the calls.
  while (!ctx.dropped->empty()) {
    Trace("th_loaddel#On retire le service de la queue");
    service removed;
    try {
      removed = ctx.dropped->pop();
    } catch (const EmptyQueueException&) {
      break;
    }
    // A failure leaves the row marked: the next cycle finds it unscheduled and tries again.
    deleteRow(pool, removed.service_id);
  }
  std::vector<unsigned long long> ids;
  ids.swap(unscheduled_marked);
  for (unsigned long long id : ids) deleteRow(pool, id);
}

namespace {
// Pause before preparing again after a failed preparation.
const long kRetryMs = 5000;
}  // namespace

void* thread_load_delete_service(void* arg) {
  const SchedContext& ctx = *static_cast<const SchedContext*>(arg);
  clearThreadSignalMask();

  const long period_ms = static_cast<long>(ctx.reload_period) * 1000L;
  pgConnectionPool* pool = ctx.main_pool;
  Trace("th_loaddel#préparation des requêtes");
  // The thread survives an outage: a failed preparation or cycle is logged and tried again
  // after the reload period; it ends only on stop.
  bool prepared = false;
  while (!prepared && !stopRequested()) {
    try {
      prepareReloadStatements(pool, ctx.id_cluster, ctx.cluster != nullptr);
      prepared = true;
    } catch (const PostgresqlException& e) {
      write_log("ERR", std::string("Connection to database Administration failed:  ") + e.what());
      sleepUnlessStopped(std::min(period_ms, kRetryMs));
    }
  }
  if (!prepared) return nullptr;
  Trace("th_loaddel#préparation des requêtes ==> SUCCESS");

  while (!stopRequested()) {
    try {
      reloadCycle(ctx, pool);
    } catch (const PostgresqlException& e) {
      write_log("ERR", std::string("Connection to database Administration failed:  ") + e.what());
    } catch (const std::exception& e) {
      write_log("ERR", e.what());
    }
    Trace("th_loaddel#dodo");
    sleepUnlessStopped(period_ms);
    Trace("th_loaddel#Debout");
    Trace("th_loaddel#test s'il y a des services mis dans la queue de suppression");
    try {
      deleteRemovedServices(ctx, pool);
    } catch (const std::exception& e) {
      write_log("ERR", e.what());
    }
  }
  return nullptr;
}
