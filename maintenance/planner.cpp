// Maintenance planner: every configuration of this daemon whose start date is less than 60
// minutes ahead becomes one row of mavo_maintenance_planned, then the configuration moves on to
// its next occurrence. Runs only in the reload thread, on pgSQL; takes no lock of its own (the
// pool serialises the statements on its connection).
//
// The values of a configuration travel as parameters of the insertion and are cast in the SQL,
// so a quote or a semicolon in one of them is stored as it is and never changes the statement.
// The insertion and the advance of one configuration are one transaction.

#include "maintenance/planner.h"

#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "db/transaction.h"

namespace {

namespace col = sql::conf_column;

bool negative(const std::string& interval) { return interval.find('-') != std::string::npos; }

bool zero(const std::string& interval) {
  for (char c : interval) {
    if (c >= '1' && c <= '9') return false;
  }
  return true;
}

// Why a configuration cannot be planned, or "" when it can. A window needs a length, and so does
// the EXEC window a FIRSTERROR window opens (a negative one would hide the first failure behind
// a window already over); a configuration that recurs by interval must move forward, or it
// would be planned again at every cycle.
std::string refusal(const std::string& type, const std::string& during,
                    const std::string& firsterror, const std::string& recurring,
                    const std::string& week) {
  if (during.empty() || negative(during))
    return "maintenance_conf_during must be a positive interval, got '" + during + "'";
  if (type == "FIRSTERROR" && (firsterror.empty() || negative(firsterror)))
    return "maintenance_conf_during_firsterror must be a positive interval, got '" + firsterror +
           "'";
  if (week.empty() && !recurring.empty() && (negative(recurring) || zero(recurring)))
    return "maintenance_conf_recurring must be a positive interval, got '" + recurring + "'";
  return "";
}

// Configurations already reported, so that a bad row is logged once, not at every cycle.
std::set<std::string> reported;
// Configurations found locked by another session and not planned since, logged once.
std::set<std::string> waiting;

void report(const std::string& conf_id, const std::string& service_id, const std::string& why) {
  if (!reported.insert(conf_id).second) return;
  write_log("ERR", "maintenance configuration " + conf_id + " of service " + service_id +
                       " is not planned: " + why);
}

}  // namespace

void loadMaintenance(pgConnectionPool* pool) { loadMaintenance(pool, id_cluster); }

void loadMaintenance(pgConnectionPool* pool, int cluster, const std::string& owned_buckets) {
  Trace("#LOADMAINTENANCE");
  // Every result is held by a PgResult, so a failing statement releases what came before.
  PgResult confs(owned_buckets.empty()
                     ? pool->executeRequest(sql::selectMaintenanceConfQuery(cluster))
                     : pool->executeParamRequest(sql::cluster::selectMaintenanceConfQuery(cluster),
                                                 {owned_buckets}));
  const int n = PQntuples(confs.get());
  for (int r = 0; r < n; ++r) {
    auto col = [&](int c) { return std::string(PQgetvalue(confs.get(), r, c)); };
    const std::string type = col(col::kType);
    const std::string during = col(col::kDuring);
    const std::string why = refusal(type, during, col(col::kDuringFirstError), col(col::kRecurring),
                                    col(col::kWeekSelected));
    if (!why.empty()) {
      report(col(col::kConfId), col(col::kServiceId), why);
      continue;
    }
    // A FIRSTERROR window counts the length of the EXEC window its first failure opens.
    const std::string minutes = type == "FIRSTERROR" ? col(col::kDuringFirstError) : during;
    // The window and the advance go together, and only from the start date that was read: a
    // lost answer or another planner cannot plan an occurrence twice or skip one.
    try {
      PgTransaction transaction(*pool);
      const std::vector<std::string> read = {col(col::kConfId), col(col::kStart)};
      PgResult locked(pool->executeParamRequest(sql::kLockMaintenanceConf, read));
      if (PQntuples(locked.get()) == 0) {
        // Moved since it was read, or held by another session (an editor's open transaction):
        // that one waits alone for a later cycle, the others are planned now.
        PgResult still(pool->executeParamRequest(sql::kMaintenanceConfStill, read));
        if (PQntuples(still.get()) != 0 && waiting.insert(col(col::kConfId)).second)
          write_log("ERR", "maintenance configuration " + col(col::kConfId) + " of service " +
                               col(col::kServiceId) +
                               " is locked by another session: it is planned at a later cycle");
        continue;
      }
      waiting.erase(col(col::kConfId));
      PgResult(pool->executeParamRequest(
          sql::kInsertMaintenancePlanned,
          {type, col(col::kStart), during, minutes, col(col::kServiceId)}));
      const std::vector<std::string> params = {col(col::kConfId)};
      const char* advance = col(col::kWeekSelected).empty() ? "updateMaintenanceConf"
                                                            : "updateMaintenanceConfByDayOfMonth";
      PgResult(pool->executePrepareRequest(advance, params));
      transaction.commit();
    } catch (const PostgresqlException& e) {
      if (e.retryable()) throw;
      // A row the server refuses does not keep the others from being planned.
      report(col(col::kConfId), col(col::kServiceId), e.what());
    }
  }
  confs.reset();
  Trace("#LOADMAINTENANCEEND");
}
