// Daemon log lines. Any thread may log; mutex_log_system makes each line atomic and is never
// held while another lock is taken. It also guards where std::cout points, and a reopening of
// the log file (SIGHUP, on the stop watcher thread) swaps the file under it.

#include "core/log.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <ext/stdio_filebuf.h>
#include <iostream>
#include <memory>

#include "core/scoped_lock.h"

pthread_mutex_t mutex_log_system = PTHREAD_MUTEX_INITIALIZER;

namespace {
using FileBuf = __gnu_cxx::stdio_filebuf<char>;
std::unique_ptr<FileBuf> log_file;       // guarded by mutex_log_system; null: lines are lost
std::string log_path;                    // guarded by mutex_log_system: what openDaemonLog opened
std::streambuf* started_with = nullptr;  // guarded by mutex_log_system: std::cout's own buffer

void flushed(std::ostream& out, const std::string& text) {
  out << text << std::flush;
  out.clear();  // a failed log stream never turns into an error of the caller
}

// Control characters of a message, written as escapes, so that a text from the database or a
// plugin cannot end the line and write one that looks like the daemon's own. Trailing line
// ends are dropped (libpq's messages end with one).
std::string escaped(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return escapeForLog(message);
}
}  // namespace

std::string escapeForLog(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        static const char kHex[] = "0123456789abcdef";
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    }
  }
  return out;
}

namespace {

// Opens the log file (flags beside O_WRONLY, O_CREAT, O_APPEND); null when it cannot be. Append
// mode: a rotation that copies the file and truncates it leaves no hole, and whatever else
// appends to the file never overwrites a line. Readable by the daemon's group only; never
// through a symbolic link (a link planted there would have the daemon write the file it points
// to).
std::unique_ptr<FileBuf> openLogFile(const std::string& path, int flags) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | flags, 0640);
  if (fd < 0) return nullptr;
  if (fchmod(fd, 0640) != 0) {
    // a file of another owner keeps its mode; it is still the daemon's log
  }
  return std::make_unique<FileBuf>(fd, std::ios::out);
}

std::string dateNow() {
  time_t now = time(nullptr);
  std::string date = asctime(localtime(&now));
  size_t nl = date.rfind('\n');
  if (nl != std::string::npos) date.erase(nl);
  return date;
}

// One log line; called with mutex_log_system held.
void writeLine(const std::string& level, std::string message) {
  // The time is read under the mutex: lines stay in time order, and the static buffers of
  // localtime/asctime are used by one thread at a time.
  const std::string date = dateNow();
  std::string line;
  line.reserve(date.size() + level.size() + message.size() + 3);
  line.append(date).append("#").append(level).append("#").append(escaped(std::move(message)));
  line.append("\n");
  flushed(std::cout, line);
}

}  // namespace

bool openDaemonLog(const std::string& path) {
  ScopedLock lock(&mutex_log_system);
  std::unique_ptr<FileBuf> file = openLogFile(path, O_TRUNC);
  if (file == nullptr) flushed(std::cout, "ERROR can't open file " + path + "\n");
  std::streambuf* previous = std::cout.rdbuf(file.get());
  if (started_with == nullptr) started_with = previous;
  log_file = std::move(file);
  log_path = path;
  return log_file != nullptr;
}

bool reopenDaemonLog() {
  ScopedLock lock(&mutex_log_system);
  std::unique_ptr<FileBuf> file = openLogFile(log_path, 0);
  if (file == nullptr) {
    const int err = errno;
    writeLine("ERR", "can't reopen the daemon log " + log_path + ": " + strerror(err) +
                         "; it goes on in the file open until now");
    return false;
  }
  std::cout.flush();
  std::cout.rdbuf(file.get());
  log_file = std::move(file);  // closes the file open until now
  writeLine("INFO", "daemon log reopened");
  return true;
}

void closeDaemonLog() {
  ScopedLock lock(&mutex_log_system);
  std::cout.flush();
  if (started_with != nullptr) std::cout.rdbuf(started_with);
  started_with = nullptr;
  log_file.reset();
  log_path.clear();
  std::cout.clear();
}

std::streambuf* redirectLog(std::streambuf* buf) {
  ScopedLock lock(&mutex_log_system);
  return std::cout.rdbuf(buf);
}

void write_log(std::string level, std::string message) {
  ScopedLock lock(&mutex_log_system);
  writeLine(level, std::move(message));
}

void write_raw_log(const std::string& text) {
  ScopedLock lock(&mutex_log_system);
  flushed(std::cout, text);
}

void write_fatal(const std::string& text) {
  ScopedLock lock(&mutex_log_system);
  const std::string line = escaped(text) + "\n";
  flushed(std::cout, line);
  if (started_with != nullptr && started_with != std::cout.rdbuf()) {
    std::ostream out(started_with);
    flushed(out, line);
  }
}

void Trace(std::string message) {
  if (traceOn()) write_log("DEBUG", std::move(message));
}
