// The timer thread of a core: moves the services of the core's wait queue whose due second has
// come to the core's execute queue, each push waking one worker, then sleeps until the next
// due second. A push of an earlier service wakes it; it also looks at the stop flag at least
// every kMaxSleepMs.
// Runs one thread per core. Takes the wait queue's mutex_queue, then, after releasing it, the
// execute queue's mutex_queue for each push; never both at once.

#include "sched/timer.h"

#include <signal.h>
#include <sys/time.h>

#include <exception>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "db/pool.h"
#include "sched/info_thread.h"

namespace {
// Longest sleep: how late the timer may notice a stop (nothing wakes it for one).
const long kMaxSleepMs = 100;
}  // namespace

int moveDueServices(infoThread& core, time_t now) {
  // Taken out under the wait queue's lock, handed over after it is released.
  std::vector<service> due;
  core.wait_queue->popDue(now, [&due](service&& s) { due.push_back(std::move(s)); });
  for (service& s : due) core.execute_queue->push(std::move(s));
  return static_cast<int>(due.size());
}

void* thread_check_time(void* arg) {
  infoThread* core = static_cast<infoThread*>(arg);

  clearThreadSignalMask();

  if (stopRequested()) return nullptr;
  for (;;) {
    try {
      core->stats.timer_beat_ms.store(monotonicMs(), std::memory_order_relaxed);
      timeval now;
      gettimeofday(&now, nullptr);
      // Once services have been moved, look again at once: more may be due in this second.
      if (moveDueServices(*core, now.tv_sec) == 0) core->wait_queue->waitForDue(kMaxSleepMs);
    } catch (const std::exception& e) {
      write_log("ERR", e.what());
      sleepMilliseconds(10);
    }
    if (stopRequested()) return nullptr;
  }
}
