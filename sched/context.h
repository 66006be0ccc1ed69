#pragma once
// What the scheduling steps read and change, handed to them instead of read from globals. main
// builds the daemon's one context from the process-wide objects and settings (daemonContext)
// and hands it down: to the workers through their core, to the reload, journal-writer and
// monitor threads as their argument. Tests build their own.

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "sched/execute_queue.h"
#include "service/service.h"

struct infoThread;
class ClusterState;
class DeleteList;
class Maintenance;
class ResultJournal;
class ScheduledServiceSet;
class UpdateServiceMap;
class pgConnectionPool;

// Counters of the daemon's threads that belong to no core.
struct DaemonCounters {
  std::atomic<uint64_t> reload_ok{0};      // reload cycles whose every part ran
  std::atomic<uint64_t> reload_failed{0};  // reload cycles of which a part failed
  std::atomic<uint64_t> clock_steps{0};    // steps of the wall clock seen by the monitor
};

struct SchedContext {
  std::vector<infoThread*>* cores = nullptr;  // every core, index 0 first; complete before use
  // The services scheduled, each once; a loaded definition goes through here, and with it the
  // update map and the delete list below.
  ScheduledServiceSet* scheduled = nullptr;
  UpdateServiceMap* updates = nullptr;       // new definitions waiting for their worker
  DeleteList* deletions = nullptr;           // scheduled services marked for deletion
  ExecuteQueue<service>* dropped = nullptr;  // taken out by workers, rows to delete
  Maintenance* maintenance = nullptr;        // planned windows per service
  const std::map<std::string, std::string>* error_ids = nullptr;  // error name -> error id
  ResultJournal* journal = nullptr;       // writes kept for later; may be null
  pgConnectionPool* main_pool = nullptr;  // the reload thread's pool (pgSQL)
  DaemonCounters* counters = nullptr;     // may be null
  // When several daemons share the identifier (MAVO/cluster_lease): the buckets this one owns
  // and its lease; null otherwise.
  ClusterState* cluster = nullptr;
  int id_cluster = 0;           // this daemon's identifier
  int verify_state_change = 0;  // 1: a first failure after OK is run again
  int wait_state_verify = 60;   // seconds before that second run
  int plugin_timeout = 0;       // seconds a plugin or alert may run; 0 = no limit
  int load_spread = 300;        // seconds over which first runs are spread
  int reload_period = 300;      // seconds between two reload cycles

  // The error id of a state (1, 2, 3, 5), "" for any other or a name missing from error_ids.
  std::string errorId(int state) const;
};

// The daemon's context: the process-wide objects (vec_core, scheduledServices, serviceUpdate,
// serviceDeleteList, deleteService, maintenance, map_error, pgSQL) and settings, with journal.
// Built by main once the configuration is read.
SchedContext daemonContext(ResultJournal* journal);
