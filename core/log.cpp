// Daemon log lines. Any thread may log; mutex_log_system makes each line atomic and is never
// held while another lock is taken.

#include "core/log.h"

#include <time.h>

#include <iostream>

#include "core/scoped_lock.h"
#include "core/settings.h"

pthread_mutex_t mutex_log_system = PTHREAD_MUTEX_INITIALIZER;

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
  std::cout << line << std::flush;
  std::cout.clear();  // a failed log stream never turns into an error of the caller
}

void write_raw_log(const std::string& text) {
  ScopedLock lock(&mutex_log_system);
  std::cout << text << std::flush;
  std::cout.clear();
}

void Trace(std::string message) {
  if (debug == 1 || debug == 2) write_log("DEBUG", std::move(message));
}
