// Worker threads: nbr_max_thread per core, each serving only its own core. A worker sleeps on
// its execute queue's cond_queue, takes one due service and carries it through one cycle
// (deletion, maintenance, replacement by a newer definition, plugin run with retries, state
// verification, store, incidents, alerts), then puts it back into the core's wait queue.
//
// Locks: mutex_queue of the execute queue only while waiting for work; mutex_busy only around
// the busy-counter changes; the container locks only inside their own operations; at thread
// end mutex_vec_thread, and inside it mutex_log_system for the end-of-worker line (the daemon
// log's stream must not be written by two threads at once). No lock is held while a plugin,
// an alerting program or a database call runs.
//
// A cycle never ends a worker: whatever goes wrong is logged and the service is rescheduled.

#include "sched/worker.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iostream>

#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "db/pool.h"
#include "maintenance/maintenance.h"
#include "sched/delete_list.h"
#include "sched/execute_queue.h"
#include "sched/incidents.h"
#include "sched/info_thread.h"
#include "sched/result_journal.h"
#include "sched/update_service_map.h"
#include "sched/wait_service_queue.h"

namespace {

// The hot path builds its trace texts only when they are written.
inline bool tracing() { return debug == 1 || debug == 2; }

const int kAttempts = 3;
const long kRetryPauseMs = 1000;
const char kMaintenanceOutput[] = "mavoDaemon: Maintenance";

enum class Next {
  kComputeDueTime,  // due again after delay, then re-queued
  kDueTimeSet,      // NOEXEC: next_exec_time already set, only re-queued
  kDropped,         // handed over for deletion, not re-queued
};

// The database writes of one core. While the core's database is unreachable they are kept in
// the core's journal, in order, and written when it is back (alerts of kept incidents run then,
// with the real incident id).
class Writer {
 public:
  explicit Writer(infoThread& core) : pool_(core.pool), journal_(core.journal) {}

  // Stores state and output; a failure other than a lost connection is logged and the cycle
  // goes on.
  void store(const service& svc, const std::string& tid) {
    if (keepIfBusy(JournalEntry::kUpdate, svc, 0, false)) return;
    try {
      updateService(svc, pool_);
      if (tracing()) Trace(tid + "#" + svc.service_name + " " + svc.parameter + "Update state OK ");
    } catch (const PostgresqlException& e) {
      if (keepIfLost(e, JournalEntry::kUpdate, svc, 0, false)) return;
      write_log("ERR", tid + "#Update service state failed: " + svc.service_id_str + " " +
                           svc.service_name + " " + e.what());
    }
  }

  // Acknowledges the open incidents. False when the write was kept: the alert, if asked for,
  // then runs when it is written.
  bool acknowledge(const service& svc, int state, bool alert, std::string* ref) {
    *ref = "-1";
    if (state != 0 && keepIfBusy(JournalEntry::kAcknowledge, svc, state, alert)) return false;
    try {
      *ref = acquitteErrorOrLost(svc, state, pool_, journal_ != nullptr);
    } catch (const PostgresqlException& e) {
      keepIfLost(e, JournalEntry::kAcknowledge, svc, state, alert);
      return false;
    }
    return true;
  }

  // Opens an incident; same contract as acknowledge.
  bool insert(const service& svc, int state, bool alert, std::string* ref) {
    *ref = "-1";
    if (keepIfBusy(JournalEntry::kInsert, svc, state, alert)) return false;
    try {
      *ref = insertErrorOrLost(svc, state, pool_, journal_ != nullptr);
    } catch (const PostgresqlException& e) {
      keepIfLost(e, JournalEntry::kInsert, svc, state, alert);
      return false;
    }
    return true;
  }

  // Writes what was kept, once the database answers again.
  void flush() {
    if (journal_ != nullptr) journal_->replay(pool_);
  }

 private:
  bool keepIfBusy(JournalEntry::Kind kind, const service& svc, int state, bool alert) {
    return journal_ != nullptr && journal_->appendIfBusy(entry(kind, svc, state, alert));
  }
  bool keepIfLost(const PostgresqlException& e, JournalEntry::Kind kind, const service& svc,
                  int state, bool alert) {
    if (journal_ == nullptr || !e.connectionLost()) return false;
    journal_->append(entry(kind, svc, state, alert));
    return true;
  }
  static JournalEntry entry(JournalEntry::Kind kind, const service& svc, int state, bool alert) {
    JournalEntry e;
    e.kind = kind;
    e.svc = svc;
    e.state = state;
    e.alert = alert;
    return e;
  }

  pgConnectionPool* pool_;
  ResultJournal* journal_;
};

bool alertFlag(const service& svc, int state) {
  switch (state) {
    case 1:
      return svc.response_warning;
    case 2:
      return svc.response_critical;
    case 3:
      return svc.response_unknown;
    default:
      return false;
  }
}

// The current second lies in one of the service's windows.
void enterMaintenance(service& svc, Writer& db, const std::string& tid) {
  if (tracing())
    Trace(tid + "#MAINTENANCE# entre en maintenance" + svc.service_name + " " +
          std::to_string(svc.maintenance_type));
  if (svc.maintenance_type != 0) return;
  const var_maintenance w = maintenance.getMaintenanceInformation(svc.service_id);
  // type 0: the window ended between the two look-ups; the next cycle sees it as left.
  if (w.type == 0 || w.planned_id == svc.maintenance_id) return;
  svc.maintenance_type = w.type;
  svc.maintenance_start = w.start;
  svc.maintenance_end = w.end;
  svc.maintenance_end.tv_sec += 1;
  if (w.type == 3) return;  // FIRSTERROR waits for the first failing run
  std::string ignored;
  db.acknowledge(svc, 5, false, &ignored);
  svc.last_stdout = kMaintenanceOutput;
  if (tracing())
    Trace(tid + "#MAINTENANCE#" + svc.service_name + " Maintenance Mode " + std::to_string(w.type) +
          " : START" + svc.service_id_str);
  db.insert(svc, 5, false, &ignored);
  svc.state = 5;
  db.store(svc, tid);
}

// No window contains the current second.
void leaveMaintenance(service& svc, Writer& db, const std::string& tid) {
  if (tracing())
    Trace("th_exec#MAINTENANCE# le service n'est pas en maintenance" + svc.service_name + " " +
          std::to_string(svc.maintenance_type));
  if (svc.maintenance_type == 0) return;
  if (tracing()) Trace("th_exec#MAINTENANCE# sort de maintenance" + svc.service_name);
  maintenance.clean(svc.service_id);
  svc.maintenance_type = 0;
  std::string ignored;
  db.acknowledge(svc, 5, false, &ignored);
  if (tracing())
    Trace(tid + "#" + svc.service_name + " Maintenance Mode : STOP" + svc.service_id_str);
}

// The first failing run inside a FIRSTERROR window turns it into an EXEC window of `during`
// minutes from now, under the same planned id. The run itself is stored as OK.
void startFirstError(service& svc, int& rc, Writer& db, const std::string& tid) {
  const var_maintenance w = maintenance.getMaintenanceInformation(svc.service_id);
  const int pid = w.planned_id;
  std::string ignored;
  db.acknowledge(svc, 5, false, &ignored);
  if (tracing())
    Trace(tid + "#MAINTENANCE#" + svc.service_name + " Maintenance FIRST ERROR : START" +
          svc.service_id_str);
  svc.last_stdout = kMaintenanceOutput;
  db.insert(svc, 5, false, &ignored);
  timeval now;
  gettimeofday(&now, nullptr);
  timeval end{now.tv_sec + static_cast<time_t>(w.during) * 60, 0};
  // A window that ended while the plugin ran is not brought back under a made-up planned id.
  if (w.type != 0) {
    maintenance.clean(svc.service_id, pid);
    maintenance.add(pid, svc.service_id, 2, now, end, 0);
  }
  svc.maintenance_id = pid;
  svc.maintenance_type = 2;
  svc.state = 0;
  rc = 0;
}

// Up to three attempts one second apart; then the run counts as UNKNOWN.
int runPlugin(service& svc) {
  for (int attempt = 1;; ++attempt) {
    try {
      return svc.execute();
    } catch (const serviceException& e) {
      write_log("ERR", "DAEMON: Excute failed retry" + svc.service_name + " " +
                           std::to_string(svc.service_id) + " " + e.what());
      sleepMilliseconds(kRetryPauseMs);
      if (attempt == kAttempts) {
        svc.state = 3;
        return 3;
      }
    }
  }
}

// The state changed outside maintenance: acknowledge, open, alert.
void recordChange(service& svc, int previous, int rc, Writer& db, const std::string& tid) {
  // Alerting programs are only started when the service has one.
  const bool has_program = !svc.program_path.empty();
  const bool recovery_alert = rc == 0 && !getErrorId(previous).empty() && svc.response_ok &&
                              alertFlag(svc, previous) && has_program;
  if (tracing())
    Trace(tid + "#" + svc.service_name + " " + svc.parameter + "acquitte l'ancienne erreur ");
  std::string ref;
  const bool acknowledged = db.acknowledge(svc, previous, recovery_alert, &ref);
  if (tracing()) Trace(tid + "#" + svc.service_name + " " + "acquitte l'erreur==>OK " + ref);
  if (rc >= 1 && rc <= 3) {
    if (tracing())
      Trace(tid + "#" + svc.service_name + " " + svc.parameter + "insère l'erreur " +
            (rc == 3 ? ref : std::string()));
    const bool alert = alertFlag(svc, rc) && has_program;
    if (!db.insert(svc, rc, alert, &ref) || !alert) return;  // a kept incident alerts later
    switch (rc) {
      case 1:
        write_log("INFO", svc.service_name + "Execute alerting software " + ref);
        break;
      case 2:
        write_log("INFO", svc.service_name + "Execute alerting software" + ref);
        break;
      default:
        write_log("INFO", svc.service_name + "Execute alerting software ");
        break;
    }
    svc.executeAlertingSoftware(ref);
  } else if (recovery_alert && acknowledged) {
    if (tracing()) Trace(tid + "#" + svc.service_name + " " + "SEND ALERT ");
    svc.executeAlertingSoftware(ref);
  }
}

// One cycle up to the next due time. delay is the interval of the definition taken from the
// queue (or the re-test delay); the return value tells what is left to do.
Next runCycle(service& svc, int& delay, Writer& db, const std::string& tid) {
  // Deletion: handed to the reload thread, never run again.
  if (serviceDeleteList.find(svc.service_id)) {
    if (tracing()) Trace(tid + "# suppression du service");
    serviceDeleteList.erase(svc.service_id);
    deleteService.push(std::move(svc));
    if (tracing()) Trace(tid + "# suppression du service reussi");
    return Next::kDropped;
  }

  // Maintenance windows.
  if (maintenance.isMaintenance(svc.service_id))
    enterMaintenance(svc, db, tid);
  else
    leaveMaintenance(svc, db, tid);

  // NOEXEC: not run; due again one second after the window's end.
  if (svc.maintenance_type == 1) {
    if (tracing()) Trace("th_exec#MAINTENANCE# TYPE NOEXEC" + svc.service_name);
    svc.next_exec_time = svc.maintenance_end;
    return Next::kDueTimeSet;
  }

  // Interval and state of the definition that came out of the queue.
  delay = svc.interval_exec_time;
  int old_state = svc.state;

  // A newer definition replaces this one entirely (its own state and maintenance fields).
  if (serviceUpdate.find(svc.service_id)) svc = serviceUpdate.getService(svc.service_id);

  if (tracing())
    Trace(tid + "#" + svc.service_name + " " + svc.parameter +
          " Execution du script =>old state:" + std::to_string(old_state));

  // Run, with retries.
  int rc = runPlugin(svc);
  if (tracing()) {
    Trace(tid + "#" + svc.service_name + " " + svc.parameter + " ==> code retour" +
          std::to_string(rc));
    Trace(tid + "#" + svc.service_name + " OUT" + svc.last_stdout);
  }

  // Maintenance effect on the result.
  if (svc.maintenance_type == 2) {
    svc.state = 5;
    rc = 5;
    old_state = 5;
  } else if (svc.maintenance_type == 3) {
    if (rc != 0) startFirstError(svc, rc, db, tid);
  } else if (rc == 4) {
    return Next::kComputeDueTime;  // result not recorded
  }

  // A first non-OK result after OK is run again before it is believed.
  if (verify_state_change == 1) {
    if (tracing()) Trace(tid + "# on test l'état précédent");
    if (old_state == 0 && rc != 0) {
      delay = wait_state_verify * 1000;
      if (tracing()) Trace(tid + "# remise dans la PQ afin de retester");
      return Next::kComputeDueTime;
    }
  }

  // Store.
  const int previous = svc.previous_state;
  svc.previous_state = svc.state;
  db.store(svc, tid);

  // Incidents and alerts on a change of state outside maintenance.
  if (previous != rc && svc.maintenance_type == 0) recordChange(svc, previous, rc, db, tid);
  return Next::kComputeDueTime;
}

// Next due time: now + delay milliseconds, in signed 32-bit arithmetic.
void computeDueTime(service& svc, int delay, const std::string& tid) {
  if (tracing()) Trace(tid + "#Calcul de la prochaine execution");
  timeval now;
  gettimeofday(&now, nullptr);
  const int32_t d = delay;
  time_t sec = now.tv_sec + d / 1000;
  long usec = now.tv_usec + static_cast<long>(d % 1000) * 1000;
  if (usec >= 1000000) {
    sec += usec / 1000000;
    usec %= 1000000;
  } else if (usec < 0) {  // a negative interval
    sec -= 1;
    usec += 1000000;
  }
  svc.next_exec_time.tv_sec = sec;
  svc.next_exec_time.tv_usec = usec;
}

// Back into the core's wait queue.
void requeue(infoThread& core, const service& svc, const std::string& tid) {
  if (tracing()) Trace(tid + "#remise dans la pq " + svc.service_name + " " + svc.parameter);
  core.wait_queue->push(svc);
  if (tracing()) Trace(tid + "#remise dans la pq success" + svc.service_name + " " + svc.parameter);
}

void logUnexpected(const service& svc, const char* what) {
  write_log("ERR", "unexpected failure of service " + std::to_string(svc.service_id) + " " +
                       svc.service_name + ": " + what);
}

// Keeps the busy counter right whatever way a cycle ends.
class BusyMark {
 public:
  explicit BusyMark(infoThread& core) : core_(core) { addBusy(core_, 1); }
  ~BusyMark() { addBusy(core_, -1); }
  BusyMark(const BusyMark&) = delete;
  BusyMark& operator=(const BusyMark&) = delete;

 private:
  infoThread& core_;
};

// The popped service, constructed in place in handleService's parameter.
service takeService(infoThread& core, const std::string& tid) {
  service svc = core.execute_queue->pop();  // throws EmptyQueueException
  if (tracing()) Trace(tid + "# prise du reussi");
  return svc;
}

// Sleeps until the queue holds a service or a stop is requested.
void waitForWork(infoThread& core) {
  ExecuteQueue<service>& q = *core.execute_queue;
  ScopedLock lock(&q.mutex_queue);
  while (q.queue.empty() && !stopRequested()) pthread_cond_wait(&q.cond_queue, &q.mutex_queue);
}

// Thread end: the worker's handle leaves its core's list; main waits for every list to empty.
void leaveCore(infoThread& core, const std::string& tid) {
  const pthread_t self = pthread_self();
  {
    ScopedLock lock(&mutex_vec_thread);
    std::vector<pthread_t>& handles = *core.vec_thread;
    auto it = std::find_if(handles.begin(), handles.end(),
                           [self](pthread_t t) { return pthread_equal(t, self) != 0; });
    if (it != handles.end()) handles.erase(it);
    ScopedLock log(&mutex_log_system);
    std::cout << "\tfin thread: " << tid << " nbr:" << handles.size() << " "
              << static_cast<unsigned long>(self) << std::endl;
    std::cout.clear();
  }
  pthread_cond_signal(&cond_vec_thread);
}

}  // namespace

void handleService(infoThread& core, service svc, const std::string& tid) {
  int delay = svc.interval_exec_time;
  Next next = Next::kComputeDueTime;
  try {
    Writer db(core);
    db.flush();  // results kept through an outage go first
    next = runCycle(svc, delay, db, tid);
  } catch (const serviceException& e) {
    write_log("ERR", svc.service_name + " " + e.what());
  } catch (const std::exception& e) {
    logUnexpected(svc, e.what());
  } catch (...) {
    logUnexpected(svc, "unknown exception");
  }
  if (next == Next::kDropped) return;
  // A service whose cycle failed is rescheduled all the same.
  try {
    if (next == Next::kComputeDueTime) computeDueTime(svc, delay, tid);
    requeue(core, svc, tid);
  } catch (const std::exception& e) {
    logUnexpected(svc, e.what());
  } catch (...) {
    logUnexpected(svc, "unknown exception");
  }
}

void* thread_execute_plugin(void* arg) {
  infoThread* core = static_cast<infoThread*>(arg);

  // SIGTERM stays deliverable on every thread of the daemon.
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);

  const std::string tid = std::to_string(static_cast<unsigned long>(pthread_self()));
  while (!stopRequested()) {
    try {
      waitForWork(*core);
      if (tracing()) Trace(tid + "# Réveille ");
      if (stopRequested()) break;
      BusyMark busy(*core);
      if (tracing()) Trace(tid + "# prise du service");
      try {
        handleService(*core, takeService(*core, tid), tid);
      } catch (const EmptyQueueException&) {
        // another worker took it first
      }
    } catch (const std::exception& e) {
      write_log("ERR", tid + "#" + e.what());
    } catch (...) {
      write_log("ERR", tid + "#unknown exception in worker");
    }
  }
  leaveCore(*core, tid);
  return nullptr;
}
