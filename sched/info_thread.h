#pragma once
// The record of one scheduling core, and the list of all cores.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "core/histogram.h"
#include "db/pool.h"
#include "sched/execute_queue.h"
#include "sched/wait_service_queue.h"

class BatchWriter;
struct SchedContext;

// What a core's threads count as they go, without a lock (relaxed atomics, summed when read);
// read by the status monitor, the watchdog and the metrics endpoint.
struct CoreStats {
  CoreStats();
  std::atomic<int64_t> timer_beat_ms{0};  // the timer thread's last turn (monotonic ms)
  std::atomic<int64_t> cycle_end_ms{0};   // when a worker last finished a cycle
  std::atomic<uint64_t> runs{0};          // plugin runs
  std::atomic<uint64_t> stored[6];        // runs whose result was stored, by state code 0-5
  std::atomic<uint64_t> unrecorded{0};    // runs whose result was not stored (state 4)
  std::atomic<uint64_t> timeouts{0};      // plugin runs stopped at their time limit
  std::atomic<uint64_t> cut_outputs{0};   // plugin outputs cut at the cap
  std::atomic<uint64_t> alerts{0};        // alerting programs started
  std::atomic<uint64_t> withheld{0};      // plugins not started (or killed as they started):
                                          // the service was no longer this daemon's to run
  Histogram run_seconds;                  // how long each plugin run took
  Histogram lag_seconds;                  // from a service's due second to the start of its run
};

struct infoThread {
  WaitServiceQueue* wait_queue;        // owned
  DueQueue* execute_queue;             // owned
  std::vector<pthread_t>* vec_thread;  // owned; live workers; guarded by mutex_vec_thread
  pthread_mutex_t mutex_busy;          // guards nbr_thread_busy
  pgConnectionPool* pool;              // owned
  int32_t nbr_thread_busy;             // guarded by mutex_busy
  float load;  // written only by the loader thread (main, then reload); read by the monitor
  // What the core's workers use besides the core (set by whoever starts them).
  const SchedContext* context = nullptr;
  CoreStats stats;
  // Stores the writes of the runs together (MAVO/write_batch_ms); the daemon's one, shared by
  // every core, not owned; null: each run's writes are stored on their own by its worker.
  BatchWriter* writer = nullptr;
};

// Every core, index 0 first; complete before any thread that iterates it starts.
extern std::vector<infoThread*> vec_core;
// Guards every core's vec_thread; main waits on cond_vec_thread for the workers to end.
extern pthread_mutex_t mutex_vec_thread;
extern pthread_cond_t cond_vec_thread;

// Builds a core record as main does: empty queues and worker list, a pool of connections
// connections on connection_string whose requests wait at most timeout_seconds, counters at 0.
// Throws PostgresqlException.
infoThread* createCore(const std::string& connection_string, int connections,
                       int timeout_seconds = kDefaultPgTimeoutSeconds);
// Deletes the queues, the worker list, the pool and the record.
void destroyCore(infoThread* core);

// A core's load is written only by the thread running the loader and read by the status monitor
// without a lock; these keep the accesses atomic.
inline float coreLoad(const infoThread& core) {
  float v;
  __atomic_load(&core.load, &v, __ATOMIC_RELAXED);
  return v;
}
inline void addCoreLoad(infoThread& core, float weight) {
  float v = coreLoad(core) + weight;
  __atomic_store(&core.load, &v, __ATOMIC_RELAXED);
}

// Whether the core makes progress: its timer thread turned within the last window_ms, and one of
// its workers is idle (waiting for work) or finished a cycle within it. A core with nothing due
// makes progress; one whose every worker is stuck in a cycle does not.
bool coreProgressing(infoThread& core, int64_t now_ms, int64_t window_ms);

// Number of busy workers of a core, read under mutex_busy; and the two counter changes.
int32_t busyWorkers(infoThread& core);
void addBusy(infoThread& core, int delta);
