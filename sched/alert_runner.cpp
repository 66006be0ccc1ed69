// Alerting programs of replayed writes. Called by the journal's replayer (start) and by main at
// the stop (finish). The runner's threads take the queued alerts and run them without holding
// mutex_, which guards the queue, the threads and their counts and is taken alone.

#include "sched/alert_runner.h"

#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"

AlertRunner::AlertRunner(size_t max_threads) : max_threads_(max_threads < 1 ? 1 : max_threads) {
  pthread_mutex_init(&mutex_, nullptr);
  initMonotonicCond(&cond_);
}

AlertRunner::~AlertRunner() {
  finish();
  pthread_cond_destroy(&cond_);
  pthread_mutex_destroy(&mutex_);
}

void AlertRunner::start(RunWrite w, std::string ref) {
  std::pair<RunWrite, std::string> here;
  {
    ScopedLock lock(&mutex_);
    queue.emplace_back(std::move(w), std::move(ref));
    if (idle > 0 || threads.size() >= max_threads_) {
      pthread_cond_signal(&cond_);
      return;
    }
    pthread_t t;
    if (pthread_create(&t, nullptr, &AlertRunner::loop, this) == 0) {
      threads.push_back(t);
      return;
    }
    if (!threads.empty()) return;  // a busy thread takes it once free
    here = std::move(queue.back());
    queue.pop_back();
  }
  // No thread could be started: the alert runs here rather than never.
  runAlert(here.first, here.second, "journal", &started_);
}

void* AlertRunner::loop(void* self) {
  clearThreadSignalMask();
  static_cast<AlertRunner*>(self)->run();
  return nullptr;
}

void AlertRunner::run() {
  pthread_mutex_lock(&mutex_);
  for (;;) {
    while (queue.empty() && !finishing) {
      ++idle;
      pthread_cond_wait(&cond_, &mutex_);
      --idle;
    }
    if (queue.empty()) break;  // finishing, and nothing is left
    auto item = std::move(queue.front());
    queue.pop_front();
    pthread_mutex_unlock(&mutex_);
    try {
      runAlert(item.first, item.second, "journal", &started_);
    } catch (const std::exception& e) {
      write_log("ERR", std::string("alert of a kept result: ") + e.what());
    }
    pthread_mutex_lock(&mutex_);
  }
  pthread_mutex_unlock(&mutex_);
}

void AlertRunner::finish() {
  std::vector<pthread_t> all;
  {
    ScopedLock lock(&mutex_);
    finishing = true;
    pthread_cond_broadcast(&cond_);
    all.swap(threads);
  }
  for (pthread_t t : all) pthread_join(t, nullptr);
  ScopedLock lock(&mutex_);
  finishing = false;  // a later start() runs again
}
