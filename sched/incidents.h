#pragma once
// Database writes of a run's result: state and output, incidents opened and acknowledged, and
// the alerting program that follows. Called by the workers with their core's pool, on which the
// statements are prepared.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cluster/cluster_state.h"
#include "db/pool.h"

class service;

// Error name -> error id text, filled by main at start, read-only afterwards.
extern std::map<std::string, std::string> map_error;

// Error id of a state (1, 2, 3, 5); "" for any other state or a name missing from map_error.
std::string getErrorId(int state);
// The same, looked up in error_ids.
std::string errorIdIn(const std::map<std::string, std::string>& error_ids, int state);
// Stores state, output and time of the run ("UpdateState"). Throws PostgresqlException.
void updateService(const service& s, pgConnectionPool* pool);
// Opens an incident; returns its happen_id, or "-1" after logging a failure.
std::string InsertError(const service& s, int state, pgConnectionPool* pool);
// Acknowledges every open incident of the service; returns the first id, or "-1".
std::string AcquitteError(const service& s, int state, pgConnectionPool* pool);

struct RunWrite;

// What a written run got back: the first incident acknowledged and the one opened ("-1" when
// none), and whether its state was stored.
struct RunRefs {
  std::string acknowledged = "-1";
  std::string opened = "-1";
  bool stored = false;
  // Refused whole by the fence: the service's bucket is no longer the writer's.
  bool refused = false;
  // The reference the run's alert gets.
  const std::string& forAlert(const RunWrite& w) const;
};

// The writes one step of a worker's cycle makes, stored together or not at all: the state
// update, the acknowledgement of the open incidents and the new incident of one run go in one
// transaction, so that a stored state never hides an incident that was lost.
struct RunWrite {
  unsigned long long service_id = 0;
  int64_t device_id = 0;
  std::string service_name;
  bool update = false;  // store state and output ("UpdateState")
  int state = 0;
  std::string output;
  bool acknowledge = false;  // acknowledge every open incident ("AcquitteErrorHappen")
  int incident = 0;          // open an incident of this state ("InsertErrorHappen"); 0: none
  std::string error_id;      // the error kind of that state ("" is refused by the server)
  std::string message;       // the incident's message
  // The alerting programs to start once written, with the new incident's id or the first
  // acknowledged one: one service each (program, arguments, name), kept only then.
  enum Alert { kNoAlert, kOnIncident, kOnAcknowledge };
  Alert alert = kNoAlert;
  std::vector<std::shared_ptr<const service>> alerting;
  int alert_timeout = 0;  // seconds an alerting program may run; 0 = no limit
  // When the run ended, on the monotonic clock (0: unknown). A write made a second or more
  // after it (kept while the database could not take it) stores the run's own time.
  int64_t ended_ms = 0;
  // When several daemons share the identifier: the bucket epoch the writer held for the run.
  // The write touches nothing, and is refused, when the bucket has moved on since.
  WriteFence fence;
  // Set when an earlier attempt sent the COMMIT and its answer was lost: the id of that
  // transaction, and what its statements got back. The server is asked what became of it before
  // anything is written again.
  std::string unresolved_xid;
  RunRefs unresolved_refs;

  int statements() const { return (update ? 1 : 0) + (acknowledge ? 1 : 0) + (incident ? 1 : 0); }
  bool updateOnly() const { return update && !acknowledge && incident == 0; }
  // Memory the write holds, for the journal's bound.
  size_t bytes() const;
};

inline const std::string& RunRefs::forAlert(const RunWrite& w) const {
  return w.alert == RunWrite::kOnIncident ? opened : acknowledged;
}

// The answer to a run's COMMIT was lost (the connection broke or the server stalled after it
// was sent): the server may have stored it. xid is its transaction, refs what its statements
// got back; a write kept for later carries both, and is not written again if it committed.
class CommitUnknown : public PostgresqlException {
 public:
  CommitUnknown(const PostgresqlException& e, std::string xid, RunRefs refs)
      : PostgresqlException(e), xid(std::move(xid)), refs(std::move(refs)) {}
  const std::string xid;
  const RunRefs refs;
};

// Runs the statements of w, in one transaction when there are several. A write whose earlier
// COMMIT went unanswered (unresolved_xid) is first looked up: when it committed, its refs are
// returned and nothing is written; when it is still open on the server, the session that holds
// it is ended and the write is tried later. Throws PostgresqlException, and then nothing was
// written, or CommitUnknown when the answer to this COMMIT was lost.
RunRefs writeRun(const RunWrite& w, pgConnectionPool* pool);
// The statements of w one by one, each failure logged as the worker always logged it (the
// state update prefixed with tid), the others still run: for a write that the server refuses
// as a whole.
RunRefs writeRunStepByStep(const RunWrite& w, pgConnectionPool* pool, const std::string& tid);
// Logs the alert of a written run and starts its alerting programs with ref, one after the
// other; a failure to start one is logged.
// Each program started is counted in *started when it is given.
void runAlert(const RunWrite& w, const std::string& ref, const std::string& tid,
              std::atomic<uint64_t>* started = nullptr);

// The two incident statements without their error handling: they throw PostgresqlException.
// "-1" when no row came back.
std::string insertIncident(const service& s, int state, pgConnectionPool* pool);
std::string acknowledgeIncidents(const service& s, pgConnectionPool* pool);
