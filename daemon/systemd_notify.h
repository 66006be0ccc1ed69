#pragma once
// What the daemon tells systemd when systemd started it (NOTIFY_SOCKET set): READY=1 once its
// services are loaded and its workers started, STATUS= lines while it runs, STOPPING=1 at
// SIGTERM, and WATCHDOG=1 while every core makes progress. Run from a terminal (no
// NOTIFY_SOCKET), every call does nothing.

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

struct SchedContext;

void notifyReady(const std::string& status);
void notifyStopping();

// The status lines and the watchdog, from the status monitor's loop (twice a second).
class SystemdBeat {
 public:
  SystemdBeat();  // reads the watchdog period systemd set (WATCHDOG_USEC), if any
  // Sends WATCHDOG=1 every half period while every core of ctx makes progress within the
  // period, and a STATUS= line (services scheduled, runs in the last minute) every 5 s.
  void tick(const SchedContext& ctx);

 private:
  int64_t watchdog_ms_ = 0;  // 0: no watchdog
  int64_t last_ping_ms_ = 0;
  int64_t last_status_ms_ = 0;
  std::deque<std::pair<int64_t, uint64_t>> runs_;  // (when, runs of every core): a minute back
};
