// Status monitor thread: rewrites the status file twice a second. It takes, one at a time and
// each for one read, a core's mutex_busy, mutex_vec_thread, the execute queue's mutex_queue,
// the wait queue's lock, deleteService's mutex_queue and the pools' mutexes.

#include "daemon/monitor.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iomanip>
#include <iostream>
#include <sstream>

#include "core/clock.h"
#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "daemon/systemd_notify.h"
#include "db/pool.h"
#include "sched/context.h"
#include "sched/info_thread.h"

namespace {

const std::string kRule(104, '-');
// A move of the wall clock against the monotonic one larger than this is a step (a slew of the
// clock by NTP is far smaller between two reports).
const int64_t kClockStepMs = 2000;

std::string rightAligned(const std::string& item, int width) {
  std::ostringstream out;
  out << std::setw(width) << item;
  return out.str();
}

template <typename T>
std::string text(T value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace

std::string formatStatusReport(long delete_queue, int main_connections,
                               const std::vector<CoreStatus>& cores) {
  std::ostringstream out;
  out << "Delete queue: " << delete_queue << "\n";
  out << "Database number of connection: " << main_connections << "\n";
  out << kRule << "\n";
  out << "| CORE |" << rightAligned("STATUS |", 13) << rightAligned("LOAD |", 12)
      << rightAligned("DB CONNECT | ", 14) << rightAligned("ACTIVITY |", 19)
      << rightAligned("EXEC SIZE |", 12) << rightAligned("EXEC STATE |", 13)
      << rightAligned("QUEUE SIZE |", 13) << "\n";
  out << kRule << "\n";
  long total = 0;
  for (size_t i = 0; i < cores.size(); ++i) {
    const CoreStatus& c = cores[i];
    const bool exec_overload = c.due > 50;
    const bool overload = c.busy >= c.threads - 1 || exec_overload;
    out << "|" << rightAligned(text(i), 5) << " |" << rightAligned(overload ? "OVERLOAD" : "OK", 11)
        << " |" << rightAligned(text(static_cast<double>(c.load)), 10) << " |"
        << rightAligned(text(c.connections), 11) << " |" << rightAligned(text(c.busy), 8) << " / "
        << rightAligned(text(c.threads), 7) << " |" << rightAligned(text(c.due), 10) << " |"
        << rightAligned(exec_overload ? "OVERLOAD" : "OK", 11) << " |"
        << rightAligned(text(c.waiting), 11) << " |\n";
    total += c.waiting + c.busy + c.due;
  }
  out << "TOTAL SERVICE: " << total << "\n";
  return out.str();
}

std::string buildStatusReport(const SchedContext& ctx) {
  std::vector<CoreStatus> cores;
  cores.reserve(ctx.cores->size());
  for (infoThread* core : *ctx.cores) {
    CoreStatus c;
    c.busy = busyWorkers(*core);
    {
      ScopedLock lock(&mutex_vec_thread);
      c.threads = static_cast<int>(core->vec_thread->size());
    }
    c.due = static_cast<long>(core->execute_queue->length());
    c.waiting = core->wait_queue->size();
    c.load = coreLoad(*core);
    c.connections = core->pool != nullptr ? core->pool->getConnectionNumber() : 0;
    cores.push_back(c);
  }
  long deleted = static_cast<long>(ctx.dropped->length());
  int main_connections = ctx.main_pool != nullptr ? ctx.main_pool->getConnectionNumber() : 0;
  return formatStatusReport(deleted, main_connections, cores);
}

std::string writeStatusFile(const std::string& path, const std::string& report) {
  // Written whole to a file of its own in the same directory, then renamed over the status
  // file: a reader sees the previous report or this one, never a part. Mode 0640, and never
  // through a symbolic link planted in the directory.
  const std::string temporary = path + ".tmp";
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0) return strerror(errno);
  std::string failure;
  if (fchmod(fd, 0640) != 0 ||
      write(fd, report.data(), report.size()) != static_cast<ssize_t>(report.size()))
    failure = strerror(errno);
  if (close(fd) != 0 && failure.empty()) failure = strerror(errno);
  if (failure.empty() && rename(temporary.c_str(), path.c_str()) != 0) failure = strerror(errno);
  if (!failure.empty()) unlink(temporary.c_str());
  return failure;
}

void noteClockStep(const SchedContext& ctx, ClockStepWatch& clock) {
  const int64_t step_ms = clock.step(kClockStepMs);
  if (step_ms == 0) return;
  const int64_t size_ms = step_ms < 0 ? -step_ms : step_ms;
  std::ostringstream size;
  size << size_ms / 1000 << "." << std::setw(3) << std::setfill('0') << size_ms % 1000;
  write_log("INFO", std::string("the wall clock stepped ") + (step_ms > 0 ? "forward" : "back") +
                        " by " + size.str() +
                        " s; the services keep their rhythm (they are scheduled on the monotonic "
                        "clock), maintenance windows and log dates follow the new time");
  if (ctx.counters != nullptr) ctx.counters->clock_steps.fetch_add(1, std::memory_order_relaxed);
}

void* thread_monitoring(void* arg) {
  const SchedContext& ctx = *static_cast<const SchedContext*>(arg);
  clearThreadSignalMask();

  SystemdBeat beat;
  ClockStepWatch clock;
  bool said = false;  // the failure to write the file is said once
  while (!stopRequested()) {
    noteClockStep(ctx, clock);
    const std::string failure = writeStatusFile(file_info, buildStatusReport(ctx));
    if (!failure.empty() && !said) {
      write_raw_log("ERROR can't open file " + escapeForLog(file_info) + ": " + failure + "\n");
      Trace("th_monitoring#ERROR can't open file ");
      said = true;
    }
    beat.tick(ctx);
    sleepUnlessStopped(500);
  }
  return nullptr;
}
