// Maintenance planner: every configuration of this daemon whose start date is less than 60
// minutes ahead becomes one row of mavo_maintenance_planned, then the configuration moves on to
// its next occurrence. Runs only in the reload thread, on pgSQL; takes no lock of its own (the
// pool serialises the statements on its connection).
//
// The values of a configuration travel as parameters of the insertion and are cast in the SQL,
// so a quote or a semicolon in one of them is stored as it is and never changes the statement.

#include "maintenance/planner.h"

#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"

namespace {

// Columns of the configuration query.
enum ConfColumn {
  kConfId = 0,
  kConfType = 1,
  kConfStart = 2,
  kConfService = 3,
  kConfDuring = 4,
  kConfDuringFirstError = 6,
  kConfWeekSelected = 7,
};

}  // namespace

void loadMaintenance(pgConnectionPool* pool) {
  Trace("#LOADMAINTENANCE");
  // Every result is held by a PgResult, so a failing statement releases what came before.
  PgResult confs(pool->executeRequest(sql::selectMaintenanceConfQuery(id_cluster)));
  const int n = PQntuples(confs.get());
  for (int r = 0; r < n; ++r) {
    auto col = [&](int c) { return std::string(PQgetvalue(confs.get(), r, c)); };
    const std::string type = col(kConfType);
    const std::string during = col(kConfDuring);
    // A FIRSTERROR window counts the length of the EXEC window its first failure opens.
    const std::string minutes = type == "FIRSTERROR" ? col(kConfDuringFirstError) : during;
    PgResult(
        pool->executeParamRequest(sql::kInsertMaintenancePlanned,
                                  {type, col(kConfStart), during, minutes, col(kConfService)}));

    const std::vector<std::string> params = {col(kConfId)};
    const char* advance = col(kConfWeekSelected).empty() ? "updateMaintenanceConf"
                                                         : "updateMaintenanceConfByDayOfMonth";
    PgResult(pool->executePrepareRequest(advance, params));
  }
  confs.reset();
  Trace("#LOADMAINTENANCEEND");
}
