// The timer thread of a core: moves the services of the core's wait queue whose due time has
// come to the core's execute queue, each push waking one worker, then sleeps until the next
// due time, on the monotonic clock. A push of an earlier service wakes it; it also looks at the
// stop flag at least every kMaxSleepMs. When it finds that it did not turn for much longer than
// that (the process was stopped, a virtual machine paused), the services that fell due meanwhile
// are spread over the following moments, each run once, instead of all at the same instant.
// Runs one thread per core. Takes the wait queue's mutex_queue, then, after releasing it, the
// execute queue's mutex_queue for each push; never both at once.

#include "sched/timer.h"

#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "db/pool.h"
#include "sched/context.h"
#include "sched/info_thread.h"

namespace {
// Longest sleep: how late the timer may notice a stop (nothing wakes it for one).
const long kMaxSleepMs = 100;
// A pause of the timer this long means the process was frozen.
const int64_t kFrozenMs = 3000;
}  // namespace

int moveDueServices(infoThread& core, const timeval& now) {
  // Taken out under the wait queue's lock, handed over after it is released.
  std::vector<std::unique_ptr<service>> due;
  core.wait_queue->popDue(now,
                          [&due](std::unique_ptr<service>&& s) { due.push_back(std::move(s)); });
  for (std::unique_ptr<service>& s : due) core.execute_queue->push(std::move(s));
  return static_cast<int>(due.size());
}

void* thread_check_time(void* arg) {
  infoThread* core = static_cast<infoThread*>(arg);

  clearThreadSignalMask();

  if (stopRequested()) return nullptr;
  int64_t last_turn_ms = monotonicMs();
  for (;;) {
    try {
      const timeval now = monotonicNow();
      const int64_t now_ms = monotonicMs();
      core->stats.timer_beat_ms.store(now_ms, std::memory_order_relaxed);
      const int64_t paused_ms = now_ms - last_turn_ms;
      last_turn_ms = now_ms;
      if (paused_ms > kFrozenMs) {
        // Spread over as long as the pause lasted, at most the spread of first runs.
        const int64_t spread_ms = std::min<int64_t>(
            paused_ms, static_cast<int64_t>(
                           std::max(core->context != nullptr ? core->context->load_spread : 1, 1)) *
                           1000);
        const int late = core->wait_queue->spreadOverdue(now, spread_ms);
        if (late > 0)
          write_log("INFO", "scheduling was stopped for " + std::to_string(paused_ms / 1000) +
                                " s: " + std::to_string(late) +
                                " overdue services run once each, spread over the next " +
                                std::to_string((spread_ms + 999) / 1000) + " s");
      }
      // Once services have been moved, look again at once: more may be due already.
      if (moveDueServices(*core, now) == 0) core->wait_queue->waitForDue(kMaxSleepMs);
    } catch (const std::exception& e) {
      write_log("ERR", e.what());
      sleepMilliseconds(10);
    }
    if (stopRequested()) return nullptr;
  }
}
