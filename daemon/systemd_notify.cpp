// Notifications to systemd (libsystemd's sd_notify). notifyReady runs in main, notifyStopping in
// the stop watcher, SystemdBeat in the status monitor; sd_notify takes no lock of the daemon.

#include "daemon/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <vector>

#include "db/pool.h"
#include "sched/context.h"
#include "sched/info_thread.h"
#include "sched/scheduled_services.h"

namespace {
const int64_t kStatusEveryMs = 5000;
const int64_t kRunsWindowMs = 60000;
}  // namespace

void notifyReady(const std::string& status) { sd_notify(0, ("READY=1\nSTATUS=" + status).c_str()); }

void notifyStopping() { sd_notify(0, "STOPPING=1\nSTATUS=stopping"); }

SystemdBeat::SystemdBeat() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
    watchdog_ms_ = static_cast<int64_t>(usec / 1000);
}

void SystemdBeat::tick(const SchedContext& ctx) {
  const int64_t now = monotonicMs();
  if (watchdog_ms_ > 0 && now - last_ping_ms_ >= watchdog_ms_ / 2) {
    bool progressing = !ctx.cores->empty();
    for (infoThread* core : *ctx.cores)
      progressing = progressing && coreProgressing(*core, now, watchdog_ms_);
    // A core that is stuck gets no ping: systemd restarts the daemon after the period.
    if (progressing) {
      sd_notify(0, "WATCHDOG=1");
      last_ping_ms_ = now;
    }
  }
  if (now - last_status_ms_ < kStatusEveryMs) return;
  last_status_ms_ = now;
  uint64_t runs = 0;
  for (infoThread* core : *ctx.cores) runs += core->stats.runs.load(std::memory_order_relaxed);
  runs_.emplace_back(now, runs);
  while (runs_.size() > 1 && now - runs_[1].first >= kRunsWindowMs) runs_.pop_front();
  const uint64_t last_minute = runs - runs_.front().second;
  const size_t services = ctx.scheduled != nullptr ? ctx.scheduled->size() : 0;
  sd_notify(0, ("STATUS=" + std::to_string(services) + " services scheduled, " +
                std::to_string(last_minute) + " runs in the last minute")
                   .c_str());
}
