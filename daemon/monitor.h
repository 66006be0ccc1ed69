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
// Thread entry; arg is the daemon's SchedContext*.
void* thread_monitoring(void* arg);
