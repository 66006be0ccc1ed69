// Core records: creation and release by main, and the busy-worker counter that workers change
// and the status monitor reads under the core's mutex_busy.

#include "sched/info_thread.h"

#include <memory>

#include "core/scoped_lock.h"
#include "sched/batch_writer.h"

std::vector<infoThread*> vec_core;

CoreStats::CoreStats()
    : run_seconds({0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60}),
      lag_seconds({0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60}) {
  for (auto& n : stored) n.store(0, std::memory_order_relaxed);
}

pthread_mutex_t mutex_vec_thread = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t cond_vec_thread = PTHREAD_COND_INITIALIZER;

infoThread* createCore(const std::string& connection_string, int connections, int timeout_seconds) {
  // Every part is held by a guard until the pool (the one step that can throw) is open.
  auto wait_queue = std::make_unique<WaitServiceQueue>();
  auto execute_queue = std::make_unique<DueQueue>();
  auto vec_thread = std::make_unique<std::vector<pthread_t>>();
  auto pool = std::make_unique<pgConnectionPool>(connection_string, connections, timeout_seconds);

  auto core = std::make_unique<infoThread>();
  core->wait_queue = wait_queue.release();
  core->execute_queue = execute_queue.release();
  core->vec_thread = vec_thread.release();
  pthread_mutex_init(&core->mutex_busy, nullptr);
  core->pool = pool.release();
  core->nbr_thread_busy = 0;
  core->load = 0.0f;
  return core.release();
}

void destroyCore(infoThread* core) {
  if (core == nullptr) return;
  delete core->wait_queue;
  delete core->execute_queue;
  delete core->vec_thread;
  delete core->pool;
  pthread_mutex_destroy(&core->mutex_busy);
  delete core;
}

int32_t busyWorkers(infoThread& core) {
  ScopedLock lock(&core.mutex_busy);
  return core.nbr_thread_busy;
}

void addBusy(infoThread& core, int delta) {
  ScopedLock lock(&core.mutex_busy);
  core.nbr_thread_busy += delta;
}

bool coreProgressing(infoThread& core, int64_t now_ms, int64_t window_ms) {
  if (now_ms - core.stats.timer_beat_ms.load(std::memory_order_relaxed) > window_ms) return false;
  int threads = 0;
  {
    ScopedLock lock(&mutex_vec_thread);
    threads = static_cast<int>(core.vec_thread->size());
  }
  if (threads > 0 && busyWorkers(core) < threads) return true;
  return now_ms - core.stats.cycle_end_ms.load(std::memory_order_relaxed) <= window_ms;
}
