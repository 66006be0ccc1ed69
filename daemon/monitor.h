#pragma once
// The status monitor thread: rewrites the status file (file_info) twice a second with each
// core's load, busy workers and queue sizes.

#include <string>
#include <vector>

// Values of one core row of the status file.
struct CoreStatus {
  int busy;
  int threads;
  long due;
  unsigned waiting;
  float load;
  int connections;
};

// The whole report for the given cores, byte for byte as the file holds it.
std::string formatStatusReport(long delete_queue, int main_connections,
                               const std::vector<CoreStatus>& cores);
struct SchedContext;

// Reads the live values of the context's cores, dropped services and main pool and formats
// them.
std::string buildStatusReport(const SchedContext& ctx);
// Replaces the file at path by report, whole (a reader never sees a part of it), with mode 0640
// and without following a symbolic link. Returns "" or the reason of the failure.
std::string writeStatusFile(const std::string& path, const std::string& report);
class ClockStepWatch;
// Logs a step of the wall clock since the last call, with its size, and counts it.
void noteClockStep(const SchedContext& ctx, ClockStepWatch& clock);
// Thread entry; arg is the daemon's SchedContext*. It also tells systemd, when the daemon runs
// under it, how many services run and whether every core still makes progress.
void* thread_monitoring(void* arg);
