// Database writes of a run's result: the service's state and output ("UpdateState"), incidents
// opened ("InsertErrorHappen") and acknowledged ("AcquitteErrorHappen"), and the alerting
// program that follows them.
// Called by every worker thread of every core, each with its own core's pool; a run's writes
// take one connection of it for their transaction. No lock is taken here. map_error is filled
// by main before any worker starts and only read afterwards.

#include "sched/incidents.h"

#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "db/transaction.h"
#include "service/service.h"

std::map<std::string, std::string> map_error;

namespace {

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

// A write older than this stores the time of its run rather than the time it is written.
const int64_t kLateMs = 1000;

// The age of a write's run as an interval, or "" for a fresh one (its statements then store
// now()).
std::string ageOf(const RunWrite& w) {
  const int64_t age_ms = monotonicMs() - w.ended_ms;
  return w.ended_ms != 0 && age_ms >= kLateMs ? std::to_string(age_ms) + " milliseconds" : "";
}

// Each statement below, given an age, stores now() less that age.
void storeState(unsigned long long id, const std::string& name, int state,
                const std::string& output, pgConnectionPool* pool, const std::string& age = "") {
  const std::string id_text = std::to_string(id);
  if (traceOn()) Trace("#UPDATE " + name + "#" + id_text + "#");
  // The output travels as a parameter: quotes and line breaks are stored as they are.
  if (age.empty())
    PgResult(pool->executePrepareRequest("UpdateState", {std::to_string(state), output, id_text}));
  else
    PgResult(pool->executePrepareRequest("UpdateStateAt",
                                         {std::to_string(state), output, id_text, age}));
}

std::string openIncident(unsigned long long id, int64_t device_id, const std::string& error_id,
                         const std::string& message, pgConnectionPool* pool,
                         const std::string& age = "") {
  std::vector<std::string> params = {error_id, std::to_string(device_id), std::to_string(id),
                                     message};
  if (!age.empty()) params.push_back(age);
  PgResult res(pool->executePrepareRequest(
      age.empty() ? "InsertErrorHappen" : "InsertErrorHappenAt", params));
  return PQntuples(res.get()) > 0 ? PQgetvalue(res.get(), 0, 0) : "-1";
}

std::string acknowledgeAll(unsigned long long id, const std::string& name, pgConnectionPool* pool,
                           const std::string& age = "") {
  const std::string id_text = std::to_string(id);
  if (traceOn()) Trace("#" + name + " SERVICE ID" + id_text);
  // Every open incident of the service is acknowledged at once; the first id is kept.
  PgResult res(age.empty() ? pool->executePrepareRequest("AcquitteErrorHappen", {id_text})
                           : pool->executePrepareRequest("AcquitteErrorHappenAt", {id_text, age}));
  if (PQntuples(res.get()) == 0) return "-1";
  if (traceOn()) Trace("#" + name + " ACQUITTE SUCCESS ID");
  return PQgetvalue(res.get(), 0, 0);
}

// AcquitteError's handling around acknowledgeAll: every failure is logged, "-1" returned.
std::string acknowledgeLogged(unsigned long long id, const std::string& name,
                              pgConnectionPool* pool, const std::string& age = "") {
  if (traceOn()) Trace("#" + name + " prepare SQL");
  try {
    return acknowledgeAll(id, name, pool, age);
  } catch (const PostgresqlException& e) {
    write_log("ERR", std::string("EXEC AcquitteErrorHappen failed in function AcquitteError: ") +
                         e.what());
  } catch (const std::exception& e) {
    write_log("ERR", std::string("acquitte exception: ") + e.what());
  }
  return "-1";
}

// InsertError's handling around openIncident.
std::string openLogged(unsigned long long id, int64_t device_id, const std::string& error_id,
                       const std::string& message, pgConnectionPool* pool,
                       const std::string& age = "") {
  try {
    return openIncident(id, device_id, error_id, message, pool, age);
  } catch (const PostgresqlException& e) {
    // Also the path of a state without an error kind: "" is refused by the $1::int cast.
    write_log("ERR", std::string("insert error failed:  ") + e.what());
    return "-1";
  }
}

}  // namespace

std::string errorIdIn(const std::map<std::string, std::string>& error_ids, int state) {
  const char* name = errorName(state);
  if (name == nullptr) return std::string();
  auto it = error_ids.find(name);
  return it == error_ids.end() ? std::string() : it->second;
}

std::string getErrorId(int state) { return errorIdIn(map_error, state); }

void updateService(const service& s, pgConnectionPool* pool) {
  storeState(s.service_id, s.service_name, s.state, s.last_stdout, pool);
}

std::string insertIncident(const service& s, int state, pgConnectionPool* pool) {
  return openIncident(s.service_id, s.device_id, getErrorId(state), s.last_stdout, pool);
}

std::string acknowledgeIncidents(const service& s, pgConnectionPool* pool) {
  return acknowledgeAll(s.service_id, s.service_name, pool);
}

std::string InsertError(const service& s, int state, pgConnectionPool* pool) {
  return openLogged(s.service_id, s.device_id, getErrorId(state), s.last_stdout, pool);
}

std::string AcquitteError(const service& s, int state, pgConnectionPool* pool) {
  if (traceOn()) Trace("#" + s.service_name + " FCT AQUITTE");
  if (state == 0) return "-1";  // nothing was open for an OK service
  return acknowledgeLogged(s.service_id, s.service_name, pool);
}

size_t RunWrite::bytes() const {
  size_t n = sizeof(RunWrite) + service_name.size() + output.size() + message.size() +
             unresolved_xid.size() + unresolved_refs.acknowledged.size() +
             unresolved_refs.opened.size();
  for (const auto& a : alerting) {
    n += sizeof(service) + a->program_path.size() + a->parameter.size();
    for (const std::string& arg : a->alerting_parameter_list) n += arg.size() + 32;
  }
  return n;
}

namespace {

enum class Outcome { kCommitted, kAborted, kUnknown };

// What became of the transaction xid, whose COMMIT went unanswered. One still open on the
// server (its COMMIT never arrived, and the server has not yet noticed that the connection is
// gone) has its session ended, so that it aborts and frees the service's row: the write is then
// tried again later (PostgresqlException, transient, as for a row locked by another session).
Outcome outcomeOf(const std::string& xid, pgConnectionPool* pool) {
  std::string status;
  try {
    PgResult r(pool->executeParamRequest(sql::kTransactionStatus, {xid}));
    if (PQntuples(r.get()) > 0 && !PQgetisnull(r.get(), 0, 0))
      status = PQgetvalue(r.get(), 0, 0);
    else
      return Outcome::kUnknown;  // too old for the server to know
  } catch (const PostgresqlException& e) {
    // A server that never saw it (a standby promoted before the transaction reached it).
    if (e.sqlstate() == "22023") return Outcome::kAborted;
    throw;
  }
  if (status == "committed") return Outcome::kCommitted;
  if (status == "aborted") return Outcome::kAborted;
  PgResult(pool->executeParamRequest(sql::kEndTransactionSession, {xid}));
  throw PostgresqlException("the transaction " + xid +
                                " of an unanswered COMMIT is still open on the server: its "
                                "session is ended, the write is tried again later",
                            PgErrorKind::kTransient, "55P03");
}

}  // namespace

RunRefs writeRun(const RunWrite& w, pgConnectionPool* pool) {
  RunRefs refs;
  if (!w.unresolved_xid.empty()) {
    switch (outcomeOf(w.unresolved_xid, pool)) {
      case Outcome::kCommitted:
        return w.unresolved_refs;
      case Outcome::kUnknown:
        // Written twice would be worse than not at all: an incident and its alert twice.
        write_log("ERR", "the write of service " + w.service_name + " (" +
                             std::to_string(w.service_id) +
                             ") had its COMMIT unanswered and its "
                             "transaction is too old for the server to say: not written again");
        return RunRefs();
      case Outcome::kAborted:
        break;  // written again below
    }
  }
  const std::string age = ageOf(w);
  const WriteFence& f = w.fence;
  const std::vector<std::string> fence = {std::to_string(f.cluster), std::to_string(f.bucket),
                                          f.node, std::to_string(f.epoch)};
  // A plain state update is one statement, the same whether it ran once or twice.
  if (w.statements() == 1 && w.update) {
    if (!f.set()) {
      storeState(w.service_id, w.service_name, w.state, w.output, pool, age);
      refs.stored = true;
      return refs;
    }
    if (traceOn()) Trace("#UPDATE " + w.service_name + "#" + std::to_string(w.service_id) + "#");
    std::vector<std::string> params = {std::to_string(w.state), w.output,
                                       std::to_string(w.service_id), age.empty() ? "0" : age};
    params.insert(params.end(), fence.begin(), fence.end());
    PgResult r(pool->executePrepareRequest("UpdateStateFenced", params));
    refs.stored = PQntuples(r.get()) > 0;
    refs.refused = !refs.stored;
    return refs;
  }
  // With the member lock held, the bucket stays the writer's until the transaction ends: no
  // other member takes it meanwhile (a writer frozen in between has its session ended by the
  // server, which frees it).
  const std::string begin =
      f.set() ? sql::cluster::beginHolding(f.lock_key, sql::kBeginWithXid) : sql::kBeginWithXid;
  PgTransaction transaction(*pool, begin.c_str());
  if (f.set()) {
    PgResult held(pool->executePrepareRequest("ClusterFence", fence));
    if (PQntuples(held.get()) == 0) {
      refs.refused = true;
      return refs;  // rolled back
    }
  }
  if (w.update) storeState(w.service_id, w.service_name, w.state, w.output, pool, age);
  if (w.acknowledge) {
    if (traceOn()) Trace("#" + w.service_name + " prepare SQL");
    refs.acknowledged = acknowledgeAll(w.service_id, w.service_name, pool, age);
  }
  if (w.incident != 0)
    refs.opened = openIncident(w.service_id, w.device_id, w.error_id, w.message, pool, age);
  refs.stored = w.update;
  try {
    transaction.commit();
  } catch (const PostgresqlException& e) {
    if (e.mayHaveRun()) throw CommitUnknown(e, transaction.beginValue(), refs);
    throw;
  }
  return refs;
}

namespace {

// Runs one step of a write on its own: in a transaction that holds the service's bucket when the
// write is fenced. False when the fence refused it; a failure of the transaction itself is
// logged as the step's would be.
template <typename Step>
bool fencedStep(const RunWrite& w, pgConnectionPool* pool, const char* failure, Step step) {
  if (!w.fence.set()) {
    step();
    return true;
  }
  try {
    const WriteFence& f = w.fence;
    PgTransaction transaction(*pool, sql::cluster::beginHolding(f.lock_key, "BEGIN").c_str());
    PgResult held(pool->executePrepareRequest(
        "ClusterFence",
        {std::to_string(f.cluster), std::to_string(f.bucket), f.node, std::to_string(f.epoch)}));
    if (PQntuples(held.get()) == 0) return false;
    step();
    transaction.commit();
  } catch (const PostgresqlException& e) {
    write_log("ERR", failure + std::string(e.what()));
  }
  return true;
}

}  // namespace

RunRefs writeRunStepByStep(const RunWrite& w, pgConnectionPool* pool, const std::string& tid) {
  RunRefs refs;
  const std::string age = ageOf(w);
  const std::string update_failure =
      tid + "#Update service state failed: " + std::to_string(w.service_id) + " " + w.service_name +
      " ";
  if (w.update) {
    refs.refused = !fencedStep(w, pool, update_failure.c_str(), [&] {
      try {
        storeState(w.service_id, w.service_name, w.state, w.output, pool, age);
        refs.stored = true;
      } catch (const PostgresqlException& e) {
        write_log("ERR", update_failure + e.what());
      }
    });
    if (refs.refused) return refs;
  }
  if (w.acknowledge)
    refs.refused =
        !fencedStep(w, pool, "EXEC AcquitteErrorHappen failed in function AcquitteError: ", [&] {
          refs.acknowledged = acknowledgeLogged(w.service_id, w.service_name, pool, age);
        });
  if (w.incident != 0 && !refs.refused)
    refs.refused = !fencedStep(w, pool, "insert error failed:  ", [&] {
      refs.opened = openLogged(w.service_id, w.device_id, w.error_id, w.message, pool, age);
    });
  return refs;
}

void runAlert(const RunWrite& w, const std::string& ref, const std::string& tid,
              std::atomic<uint64_t>* started) {
  if (w.alert == RunWrite::kNoAlert) return;
  for (const auto& program : w.alerting) {
    const service& s = *program;
    if (w.alert == RunWrite::kOnIncident) {
      switch (w.incident) {
        case 1:
          write_log("INFO", s.service_name + "Execute alerting software " + ref);
          break;
        case 2:
          write_log("INFO", s.service_name + "Execute alerting software" + ref);
          break;
        default:
          write_log("INFO", s.service_name + "Execute alerting software ");
          break;
      }
    } else if (traceOn()) {
      Trace(tid + "#" + s.service_name + " " + "SEND ALERT ");
    }
    if (started != nullptr) started->fetch_add(1, std::memory_order_relaxed);
    try {
      s.executeAlertingSoftware(ref, w.alert_timeout);
    } catch (const serviceException& e) {
      write_log("ERR", s.service_name + " " + e.what());
    }
  }
}
