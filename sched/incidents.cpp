// Database writes of a run's result: the service's state and output ("UpdateState"), incidents
// opened ("InsertErrorHappen") and acknowledged ("AcquitteErrorHappen").
// Called by every worker thread of every core, each with its own core's pool (whose connections
// serialise their libpq calls); no lock is taken here. map_error is filled by main before any
// worker starts and only read afterwards.

#include "sched/incidents.h"

#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "service/service.h"

std::map<std::string, std::string> map_error;

namespace {

// Trace texts are only built when they are written.
inline bool tracing() { return debug == 1 || debug == 2; }

const char* errorName(int state) {
  switch (state) {
    case 1:
      return "default_warning_error";
    case 2:
      return "default_critical_error";
    case 3:
      return "default_unknow_error";
    case 5:
      return "default_maintenance";
    default:
      return nullptr;
  }
}

}  // namespace

std::string getErrorId(int state) {
  const char* name = errorName(state);
  if (name == nullptr) return std::string();
  auto it = map_error.find(name);
  return it == map_error.end() ? std::string() : it->second;
}

void updateService(const service& s, pgConnectionPool* pool) {
  const std::string id = std::to_string(s.service_id);
  if (tracing()) Trace("#UPDATE " + s.service_name + "#" + id + "#");
  // The output travels as a parameter: quotes and line breaks are stored as they are.
  PgResult(
      pool->executePrepareRequest("UpdateState", {std::to_string(s.state), s.last_stdout, id}));
}

std::string insertIncident(const service& s, int state, pgConnectionPool* pool) {
  PgResult res(pool->executePrepareRequest("InsertErrorHappen",
                                           {getErrorId(state), std::to_string(s.device_id),
                                            std::to_string(s.service_id), s.last_stdout}));
  return PQntuples(res.get()) > 0 ? PQgetvalue(res.get(), 0, 0) : "-1";
}

std::string acknowledgeIncidents(const service& s, pgConnectionPool* pool) {
  const std::string id = std::to_string(s.service_id);
  if (tracing()) Trace("#" + s.service_name + " SERVICE ID" + id);
  // Every open incident of the service is acknowledged at once; the first id is kept.
  PgResult res(pool->executePrepareRequest("AcquitteErrorHappen", {id}));
  if (PQntuples(res.get()) == 0) return "-1";
  if (tracing()) Trace("#" + s.service_name + " ACQUITTE SUCCESS ID");
  return PQgetvalue(res.get(), 0, 0);
}

std::string InsertError(const service& s, int state, pgConnectionPool* pool) {
  return insertErrorOrLost(s, state, pool, false);
}

std::string AcquitteError(const service& s, int state, pgConnectionPool* pool) {
  return acquitteErrorOrLost(s, state, pool, false);
}

std::string insertErrorOrLost(const service& s, int state, pgConnectionPool* pool,
                              bool rethrow_lost) {
  std::string result = "-1";
  try {
    result = insertIncident(s, state, pool);
  } catch (const PostgresqlException& e) {
    if (rethrow_lost && e.connectionLost()) throw;
    // Also the path of a state without an error kind: "" is refused by the $1::int cast.
    write_log("ERR", std::string("insert error failed:  ") + e.what());
    return "-1";
  }
  return result;
}

std::string acquitteErrorOrLost(const service& s, int state, pgConnectionPool* pool,
                                bool rethrow_lost) {
  std::string result = "-1";
  if (tracing()) Trace("#" + s.service_name + " FCT AQUITTE");
  if (state == 0) return result;  // nothing was open for an OK service
  if (tracing()) Trace("#" + s.service_name + " prepare SQL");
  try {
    result = acknowledgeIncidents(s, pool);
  } catch (const PostgresqlException& e) {
    if (rethrow_lost && e.connectionLost()) throw;
    write_log("ERR", std::string("EXEC AcquitteErrorHappen failed in function AcquitteError: ") +
                         e.what());
  } catch (const std::exception& e) {
    write_log("ERR", std::string("acquitte exception: ") + e.what());
  }
  return result;
}
