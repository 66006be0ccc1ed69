// Worker threads: nbr_max_thread per core, each serving only its own core. A worker sleeps on
// its execute queue's cond_queue, takes one due service and carries it through one cycle
// (deletion, maintenance, replacement by a newer definition, plugin run with retries, state
// verification, store, incidents, alerts), then puts it back into the core's wait queue.
//
// Locks: mutex_queue of the execute queue only while waiting for work; mutex_busy only around
// the busy-counter changes; the container locks only inside their own operations; at thread
// end mutex_vec_thread (with the log's own lock inside it for the end-of-worker line). No lock
// is held while a plugin, an alerting program or a database call runs.
//
// A cycle never ends a worker: whatever goes wrong is logged and the service is rescheduled.

#include "sched/worker.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "db/pool.h"
#include "maintenance/maintenance.h"
#include "sched/batch_writer.h"
#include "sched/context.h"
#include "sched/delete_list.h"
#include "sched/execute_queue.h"
#include "sched/incidents.h"
#include "sched/info_thread.h"
#include "sched/result_journal.h"
#include "sched/result_writer.h"
#include "sched/scheduled_services.h"
#include "sched/update_service_map.h"
#include "sched/wait_service_queue.h"

namespace {

const int kAttempts = 3;
const long kRetryPauseMs = 1000;
const char kMaintenanceOutput[] = "mavoDaemon: Maintenance";
// runPlugin's answer when the run was withheld: this daemon may no longer run the service.
const int kWithheld = -1;
// How long a service whose daemon's lease is not confirmed waits before it is looked at again.
const int kHoldMs = 1000;

enum class Next {
  kComputeDueTime,  // due again after delay, then re-queued
  kDueTimeSet,      // NOEXEC: next_exec_time already set, only re-queued
  kDropped,         // handed over for deletion, not re-queued
};

// What the steps of one service's cycle use: the scheduling context, the writer of its
// results and the worker's trace prefix.
struct Cycle {
  const SchedContext& ctx;
  infoThread& core;
  ResultWriter& db;
  const std::string& tid;
  const WriteFence& fence;  // what this run's writes carry (unset with one daemon)

  // A write of svc, without statements yet.
  RunWrite writeOf(const service& svc) const {
    RunWrite w;
    w.service_id = svc.service_id;
    w.device_id = svc.device_id;
    w.service_name = svc.service_name;
    w.alert_timeout = ctx.plugin_timeout;
    w.ended_ms = monotonicMs();
    w.fence = fence;
    return w;
  }
  // Adds an incident of state to w.
  void openIn(RunWrite& w, int state, const std::string& message) const {
    w.incident = state;
    w.error_id = ctx.errorId(state);
    w.message = message;
  }
  void write(const RunWrite& w, RunRefs* refs) const { db.write(w, tid, refs); }
};

// The alerting programs of svc: its own, then the further ones.
std::vector<ServiceResponse> responsesOf(const service& svc) {
  std::vector<ServiceResponse> all;
  all.push_back({svc.program_path, svc.alerting_parameter_list, svc.response_ok,
                 svc.response_unknown, svc.response_warning, svc.response_critical});
  all.insert(all.end(), svc.more_responses.begin(), svc.more_responses.end());
  return all;
}

// What an alert of svc by program r needs once its write is done: program, arguments, name.
std::shared_ptr<const service> alertingPart(const service& svc, const ServiceResponse& r) {
  auto s = std::make_shared<service>();
  s->SetService_id(svc.service_id);
  s->service_name = svc.service_name;
  s->parameter = svc.parameter;
  s->parameter_shown = svc.parameter_shown;
  s->program_path = r.program_path;
  s->alerting_parameter_list = r.alerting_parameter_list;
  return s;
}

void traceAcquitte(const service& svc) {
  if (traceOn()) Trace("#" + svc.service_name + " FCT AQUITTE");
}

bool alertFlag(const ServiceResponse& r, int state) {
  switch (state) {
    case 1:
      return r.response_warning;
    case 2:
      return r.response_critical;
    case 3:
      return r.response_unknown;
    default:
      return false;
  }
}

// The current second lies in one of the service's windows.
void enterMaintenance(service& svc, const Cycle& c) {
  if (traceOn())
    Trace(c.tid + "#MAINTENANCE# entre en maintenance" + svc.service_name + " " +
          std::to_string(svc.maintenance_type));
  if (svc.maintenance_type != 0) return;
  const var_maintenance w = c.ctx.maintenance->getMaintenanceInformation(svc.service_id);
  // type 0: the window ended between the two look-ups; the next cycle sees it as left.
  if (w.type == 0 || w.planned_id == svc.maintenance_id) return;
  svc.maintenance_type = w.type;
  svc.maintenance_start = w.start;
  svc.maintenance_end = w.end;
  svc.maintenance_end.tv_sec += 1;
  if (w.type == 3) return;  // FIRSTERROR waits for the first failing run
  RunWrite write = c.writeOf(svc);
  traceAcquitte(svc);
  write.acknowledge = true;
  svc.last_stdout = kMaintenanceOutput;
  if (traceOn())
    Trace(c.tid + "#MAINTENANCE#" + svc.service_name + " Maintenance Mode " +
          std::to_string(w.type) + " : START" + svc.service_id_str);
  c.openIn(write, 5, svc.last_stdout);
  // The stored state is now maintenance: the first result after the window is compared with it,
  // so that a service still failing opens its incident again (its earlier one is acknowledged
  // here, and the maintenance one when the window ends).
  svc.state = 5;
  svc.previous_state = 5;
  write.update = true;
  write.state = svc.state;
  write.output = svc.last_stdout;
  RunRefs ignored;
  c.write(write, &ignored);
}

// No window contains the current second.
void leaveMaintenance(service& svc, const Cycle& c) {
  if (traceOn())
    Trace("th_exec#MAINTENANCE# le service n'est pas en maintenance" + svc.service_name + " " +
          std::to_string(svc.maintenance_type));
  if (svc.maintenance_type == 0) return;
  if (traceOn()) Trace("th_exec#MAINTENANCE# sort de maintenance" + svc.service_name);
  c.ctx.maintenance->clean(svc.service_id);
  svc.maintenance_type = 0;
  RunWrite write = c.writeOf(svc);
  traceAcquitte(svc);
  write.acknowledge = true;
  RunRefs ignored;
  c.write(write, &ignored);
  if (traceOn())
    Trace(c.tid + "#" + svc.service_name + " Maintenance Mode : STOP" + svc.service_id_str);
}

// The first failing run inside a FIRSTERROR window turns it into an EXEC window of `during`
// minutes from now, under the same planned id. The run itself is stored as OK.
void startFirstError(service& svc, int& rc, const Cycle& c) {
  const var_maintenance w = c.ctx.maintenance->getMaintenanceInformation(svc.service_id);
  const int pid = w.planned_id;
  RunWrite write = c.writeOf(svc);
  traceAcquitte(svc);
  write.acknowledge = true;
  if (traceOn())
    Trace(c.tid + "#MAINTENANCE#" + svc.service_name + " Maintenance FIRST ERROR : START" +
          svc.service_id_str);
  svc.last_stdout = kMaintenanceOutput;
  c.openIn(write, 5, svc.last_stdout);
  RunRefs ignored;
  c.write(write, &ignored);
  timeval now;
  gettimeofday(&now, nullptr);
  timeval end{now.tv_sec + static_cast<time_t>(w.during) * 60, 0};
  // A window that ended while the plugin ran is not brought back under a made-up planned id.
  if (w.type != 0) {
    c.ctx.maintenance->clean(svc.service_id, pid);
    c.ctx.maintenance->add(pid, svc.service_id, 2, now, end, 0);
  }
  svc.maintenance_id = pid;
  svc.maintenance_type = 2;
  svc.state = 0;
  rc = 0;
}

// Up to three attempts one second apart; then the run counts as UNKNOWN. Each attempt is
// counted in the core's stats. Once the daemon stops, a failed attempt is not tried again: the
// run records nothing (4), rather than holding up the stop or storing a failure it did not
// believe.
int runPlugin(service& svc, int timeout, CoreStats& stats, const std::function<bool()>& may_start) {
  const int state_before = svc.state;
  for (int attempt = 1;; ++attempt) {
    RunInfo info;
    info.may_start = may_start;
    const int64_t started = monotonicMs();
    auto count = [&] {
      stats.runs.fetch_add(1, std::memory_order_relaxed);
      stats.run_seconds.observe(static_cast<double>(monotonicMs() - started) / 1000.0);
      if (info.timed_out) stats.timeouts.fetch_add(1, std::memory_order_relaxed);
      if (info.cut) stats.cut_outputs.fetch_add(1, std::memory_order_relaxed);
    };
    try {
      const int rc = svc.execute(timeout, &info);
      if (info.withheld) {
        svc.state = state_before;
        return kWithheld;
      }
      count();
      return rc;
    } catch (const serviceException& e) {
      count();
      write_log("ERR", "DAEMON: Excute failed retry" + svc.service_name + " " +
                           std::to_string(svc.service_id) + " " + e.what());
      if (stopRequested()) {
        svc.state = state_before;
        return 4;
      }
      sleepMilliseconds(kRetryPauseMs);
      if (attempt == kAttempts) {
        svc.state = 3;
        return 3;
      }
    }
  }
}

// Stores the run; when its state changed outside maintenance, acknowledges the open incidents,
// opens the new one and starts the alert, all in one write.
void storeRun(service& svc, int previous, int rc, const Cycle& c) {
  RunWrite write = c.writeOf(svc);
  write.update = true;
  write.state = svc.state;
  write.output = svc.last_stdout;
  const bool change = previous != rc && svc.maintenance_type == 0;
  if (change) {
    write.acknowledge = previous != 0;  // nothing was open for an OK service
    if (rc >= 1 && rc <= 3) c.openIn(write, rc, svc.last_stdout);
    // Every alerting program of the service whose flags ask for it (an empty path is none).
    for (const ServiceResponse& r : responsesOf(svc)) {
      if (r.program_path.empty()) continue;
      const bool on_incident = write.incident != 0 && alertFlag(r, rc);
      const bool on_recovery =
          rc == 0 && !c.ctx.errorId(previous).empty() && r.response_ok && alertFlag(r, previous);
      if (!on_incident && !on_recovery) continue;
      write.alert = on_incident ? RunWrite::kOnIncident : RunWrite::kOnAcknowledge;
      write.alerting.push_back(alertingPart(svc, r));
    }
  }
  RunRefs refs;
  const bool written = c.db.write(write, c.tid, &refs);
  if (refs.stored && traceOn())
    Trace(c.tid + "#" + svc.service_name + " " + svc.shownParameter() + "Update state OK ");
  if (!change) return;
  if (traceOn()) {
    Trace(c.tid + "#" + svc.service_name + " " + svc.shownParameter() +
          "acquitte l'ancienne erreur ");
    traceAcquitte(svc);
    Trace(c.tid + "#" + svc.service_name + " " + "acquitte l'erreur==>OK " + refs.acknowledged);
    if (write.incident != 0)
      Trace(c.tid + "#" + svc.service_name + " " + svc.shownParameter() + "insère l'erreur " +
            (rc == 3 ? refs.acknowledged : std::string()));
  }
  // A kept write alerts when written; a refused one not at all.
  if (written && !refs.refused) runAlert(write, refs.forAlert(write), c.tid, &c.core.stats.alerts);
}

// One cycle up to the next due time. delay is the interval of the definition taken from the
// queue (or the re-test delay); the return value tells what is left to do.
Next runCycle(service& svc, int& delay, const Cycle& c) {
  // Deletion: out of the schedule (with any newer definition), handed to the reload thread,
  // never run again.
  if (c.ctx.deletions->find(svc.service_id)) {
    if (traceOn()) Trace(c.tid + "# suppression du service");
    c.ctx.scheduled->unschedule(svc.service_id);
    c.ctx.dropped->push(std::move(svc));
    if (traceOn()) Trace(c.tid + "# suppression du service reussi");
    return Next::kDropped;
  }

  // Maintenance windows.
  if (c.ctx.maintenance->isMaintenance(svc.service_id))
    enterMaintenance(svc, c);
  else
    leaveMaintenance(svc, c);

  // NOEXEC: not run; due again one second after the end of the last window that covers it
  // (windows that overlap or follow each other, a daily window of a whole day), never at a
  // second already past.
  if (svc.maintenance_type == 1) {
    if (traceOn()) Trace("th_exec#MAINTENANCE# TYPE NOEXEC" + svc.service_name);
    // The window is a calendar time; the due time counts on the monotonic clock from now.
    const int64_t wall_now_ms = wallMs();
    const time_t free_from = c.ctx.maintenance->firstFreeSecond(svc.service_id, wall_now_ms / 1000);
    if (free_from > svc.maintenance_end.tv_sec) svc.maintenance_end.tv_sec = free_from;
    const int64_t until_ms = static_cast<int64_t>(svc.maintenance_end.tv_sec) * 1000 - wall_now_ms;
    svc.next_exec_time = addMs(monotonicNow(), std::max<int64_t>(until_ms, 0));
    return Next::kDueTimeSet;
  }

  // Interval, state and due time of the definition that came out of the queue.
  delay = svc.interval_exec_time;
  const timeval due = svc.next_exec_time;
  int old_state = svc.state;

  // A newer definition replaces this one, but the state and maintenance window stay the ones
  // this worker keeps: the loader read them from the database, where the runs stored since its
  // read are missing, and a stale previous state would open an incident twice (or miss one).
  if (c.ctx.updates->find(svc.service_id)) {
    service newer = c.ctx.updates->getService(svc.service_id);
    newer.state = svc.state;
    newer.previous_state = svc.previous_state;
    newer.last_stdout = std::move(svc.last_stdout);
    newer.maintenance_type = svc.maintenance_type;
    newer.maintenance_start = svc.maintenance_start;
    newer.maintenance_end = svc.maintenance_end;
    newer.maintenance_id = svc.maintenance_id;
    newer.cluster_epoch = svc.cluster_epoch;
    svc = std::move(newer);
  }

  if (traceOn())
    Trace(c.tid + "#" + svc.service_name + " " + svc.shownParameter() +
          " Execution du script =>old state:" + std::to_string(old_state));

  // Run, with retries.
  // Scheduling lag: from the due time to now.
  c.core.stats.lag_seconds.observe(static_cast<double>(diffMs(monotonicNow(), due)) / 1000.0);
  // With several daemons the plugin starts only while the service is still this daemon's and
  // its lease confirmed, looked at right before and right after the start: this process may
  // have been stopped anywhere since the run was admitted, and another member may run the
  // service by now.
  std::function<bool()> may_start;
  if (c.fence.set()) {
    // Two references: small enough for std::function to hold without an allocation, on each
    // run and each copy into an attempt's RunInfo.
    may_start = [&c, &svc] {
      return c.ctx.cluster->leaseValid() && c.ctx.cluster->keeps(svc.service_id, c.fence);
    };
  }
  int rc = runPlugin(svc, c.ctx.plugin_timeout, c.core.stats, may_start);
  if (rc == kWithheld) {
    c.core.stats.withheld.fetch_add(1, std::memory_order_relaxed);
    delay = std::min(svc.interval_exec_time, kHoldMs);
    return Next::kComputeDueTime;
  }
  if (traceOn()) {
    Trace(c.tid + "#" + svc.service_name + " " + svc.shownParameter() + " ==> code retour" +
          std::to_string(rc));
    Trace(c.tid + "#" + svc.service_name + " OUT" + svc.last_stdout);
  }

  // Maintenance effect on the result.
  if (svc.maintenance_type == 2) {
    svc.state = 5;
    rc = 5;
    old_state = 5;
  } else if (svc.maintenance_type == 3) {
    if (rc != 0) startFirstError(svc, rc, c);
  } else if (rc == 4) {
    c.core.stats.unrecorded.fetch_add(1, std::memory_order_relaxed);
    return Next::kComputeDueTime;  // result not recorded
  }

  // A first non-OK result after OK is run again before it is believed.
  if (c.ctx.verify_state_change == 1) {
    if (traceOn()) Trace(c.tid + "# on test l'état précédent");
    if (old_state == 0 && rc != 0) {
      delay = c.ctx.wait_state_verify * 1000;
      if (traceOn()) Trace(c.tid + "# remise dans la PQ afin de retester");
      return Next::kComputeDueTime;
    }
  }

  // Store, with incidents and alerts on a change of state outside c.ctx.maintenance->
  const int previous = svc.previous_state;
  svc.previous_state = svc.state;
  storeRun(svc, previous, rc, c);
  if (svc.state >= 0 && svc.state <= 5)
    c.core.stats.stored[svc.state].fetch_add(1, std::memory_order_relaxed);
  return Next::kComputeDueTime;
}

// Next due time: now + delay milliseconds, on the monotonic clock.
void computeDueTime(service& svc, int delay, const std::string& tid) {
  if (traceOn()) Trace(tid + "#Calcul de la prochaine execution");
  svc.next_exec_time = addMs(monotonicNow(), delay);
}

// Back into the core's wait queue.
void requeue(infoThread& core, std::unique_ptr<service> svc, const std::string& tid) {
  const bool trace = traceOn();
  std::string shown;
  if (trace) {
    shown = svc->service_name + " " + svc->shownParameter();
    Trace(tid + "#remise dans la pq " + shown);
  }
  core.wait_queue->push(std::move(svc));
  if (trace) Trace(tid + "#remise dans la pq success" + shown);
}

// name may be "" (the service is gone: it was handed to the wait queue as it failed).
void logUnexpected(unsigned long long id, const std::string& name, const char* what) {
  write_log("ERR", "unexpected failure of service " + std::to_string(id) +
                       (name.empty() ? "" : " " + name) + ": " + what);
}
void logUnexpected(const service& svc, const char* what) {
  logUnexpected(svc.service_id, svc.service_name, what);
}

// Ends a run counted in flight, whatever way its cycle ends: once its writes are stored (or
// kept), when the core's batch writer still holds them.
struct InFlight {
  InFlight(ClusterState* cluster, BatchWriter* writer, unsigned long long id)
      : cluster(cluster), writer(writer), id(id) {}
  ~InFlight() {
    if (!counted) return;
    if (writer == nullptr) {
      cluster->finish(id);
      return;
    }
    ClusterState* c = cluster;
    const unsigned long long service_id = id;
    writer->afterWrites(id, [c, service_id] { c->finish(service_id); });
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
  ClusterState* cluster;
  BatchWriter* writer;
  unsigned long long id;
  bool counted = false;
};

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

// The popped service.
std::unique_ptr<service> takeService(infoThread& core, const std::string& tid) {
  std::unique_ptr<service> svc = core.execute_queue->pop();  // throws EmptyQueueException
  if (traceOn()) Trace(tid + "# prise du reussi");
  return svc;
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
    // Under mutex_vec_thread, so that the counts of the lines follow one another.
    write_raw_log("\tfin thread: " + tid + " nbr:" + std::to_string(handles.size()) + " " +
                  std::to_string(static_cast<unsigned long>(self)) + "\n");
  }
  pthread_cond_signal(&cond_vec_thread);
}

}  // namespace

void handleService(const SchedContext& ctx, infoThread& core, service svc, const std::string& tid) {
  handleService(ctx, core, std::make_unique<service>(std::move(svc)), tid);
}

void handleService(const SchedContext& ctx, infoThread& core, std::unique_ptr<service> taken,
                   const std::string& tid) {
  service& svc = *taken;
  int delay = svc.interval_exec_time;
  Next next = Next::kComputeDueTime;
  // With several daemons, the service runs only while its bucket is this daemon's and the lease
  // is confirmed; the run is counted in flight until the service is back in a queue or gone, so
  // that its bucket is handed over only once no run of it is left.
  WriteFence fence;
  InFlight in_flight(ctx.cluster, core.writer, svc.service_id);
  if (ctx.cluster != nullptr) {
    switch (ctx.cluster->admit(svc.service_id, svc.cluster_epoch, &fence)) {
      case ClusterState::Admission::kDrop:
        ctx.scheduled->unschedule(svc.service_id);  // another member runs it
        return;
      case ClusterState::Admission::kHold:
        // The lease is not confirmed: nothing runs until it is (or the service has moved on).
        computeDueTime(svc, std::min(svc.interval_exec_time, kHoldMs), tid);
        requeue(core, std::move(taken), tid);
        return;
      case ClusterState::Admission::kRun:
        in_flight.counted = true;
        break;
    }
  }
  try {
    ResultWriter db(core.pool, ctx.journal, core.writer);
    next = runCycle(svc, delay, Cycle{ctx, core, db, tid, fence});
  } catch (const serviceException& e) {
    write_log("ERR", svc.service_name + " " + e.what());
  } catch (const std::exception& e) {
    logUnexpected(svc, e.what());
  } catch (...) {
    logUnexpected(svc, "unknown exception");
  }
  if (next == Next::kDropped) return;
  // Its bucket was handed over while it ran: the service goes with it.
  if (fence.set() && !ctx.cluster->keeps(svc.service_id, fence)) {
    ctx.scheduled->unschedule(svc.service_id);
    return;
  }
  // A service whose cycle failed is rescheduled all the same. Once re-queued, svc is the
  // queue's: what a failure reports is taken before.
  const unsigned long long id = svc.service_id;
  try {
    if (next == Next::kComputeDueTime) computeDueTime(svc, delay, tid);
    requeue(core, std::move(taken), tid);
  } catch (const std::exception& e) {
    logUnexpected(id, "", e.what());
  } catch (...) {
    logUnexpected(id, "", "unknown exception");
  }
}

void* thread_execute_plugin(void* arg) {
  infoThread* core = static_cast<infoThread*>(arg);
  const SchedContext& ctx = *core->context;

  clearThreadSignalMask();

  const std::string tid = std::to_string(static_cast<unsigned long>(pthread_self()));
  while (!stopRequested()) {
    try {
      core->execute_queue->waitForWork();
      if (traceOn()) Trace(tid + "# Réveille ");
      if (stopRequested()) break;
      BusyMark busy(*core);
      if (traceOn()) Trace(tid + "# prise du service");
      try {
        handleService(ctx, *core, takeService(*core, tid), tid);
        core->stats.cycle_end_ms.store(monotonicMs(), std::memory_order_relaxed);
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
