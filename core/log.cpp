// Daemon log lines. Any thread may log; mutex_log_system makes each line atomic and is never
// held while another lock is taken. It also guards where std::cout points.

#include "core/log.h"

#include <time.h>

#include <fstream>
#include <iostream>
#include <memory>

#include "core/scoped_lock.h"

pthread_mutex_t mutex_log_system = PTHREAD_MUTEX_INITIALIZER;

namespace {
std::unique_ptr<std::ofstream> log_file;  // guarded by mutex_log_system
std::streambuf* started_with = nullptr;   // guarded by mutex_log_system: std::cout's own buffer

void flushed(std::ostream& out, const std::string& text) {
  out << text << std::flush;
  out.clear();  // a failed log stream never turns into an error of the caller
}
}  // namespace

bool openDaemonLog(const std::string& path) {
  ScopedLock lock(&mutex_log_system);
  auto file = std::make_unique<std::ofstream>(path, std::ios::out | std::ios::trunc);
  const bool opened = file->is_open();
  if (!opened) flushed(std::cout, "ERROR can't open file " + path + "\n");
  std::streambuf* previous = std::cout.rdbuf(file->rdbuf());
  if (started_with == nullptr) started_with = previous;
  log_file = std::move(file);
  return opened;
}

void closeDaemonLog() {
  ScopedLock lock(&mutex_log_system);
  std::cout.flush();
  if (started_with != nullptr) std::cout.rdbuf(started_with);
  started_with = nullptr;
  log_file.reset();
  std::cout.clear();
}

std::streambuf* redirectLog(std::streambuf* buf) {
  ScopedLock lock(&mutex_log_system);
  return std::cout.rdbuf(buf);
}

void write_log(std::string level, std::string message) {
  ScopedLock lock(&mutex_log_system);
  // The time is read under the mutex: lines stay in time order, and the static buffers of
  // localtime/asctime are used by one thread at a time.
  time_t now = time(nullptr);
  std::string date = asctime(localtime(&now));
  size_t nl = date.rfind('\n');
  if (nl != std::string::npos) date.erase(nl);
  std::string line;
  line.reserve(date.size() + level.size() + message.size() + 3);
  line.append(date).append("#").append(level).append("#").append(message).append("\n");
  flushed(std::cout, line);
}

void write_raw_log(const std::string& text) {
  ScopedLock lock(&mutex_log_system);
  flushed(std::cout, text);
}

void write_fatal(const std::string& text) {
  ScopedLock lock(&mutex_log_system);
  flushed(std::cout, text + "\n");
  if (started_with != nullptr && started_with != std::cout.rdbuf()) {
    std::ostream out(started_with);
    flushed(out, text + "\n");
  }
}

void Trace(std::string message) {
  if (traceOn()) write_log("DEBUG", std::move(message));
}
