// Fuzzes the configuration reader. The input is the file's text, optionally preceded by a
// section name and a key, each ended by a NUL byte, which are looked up besides the daemon's
// own keys. A value found must be the tail of one line of the file; getSection must hold no
// line break in its keys or values.

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/ini_config.h"

namespace {

// An in-memory file, rewritten for every input; the reader opens it by its /proc path, as it
// would open the configuration file.
class MemFile {
 public:
  MemFile() : fd_(memfd_create("mavo-fuzz.conf", MFD_CLOEXEC)) {
    if (fd_ < 0) abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  void write(const std::string& text) {
    if (ftruncate(fd_, 0) != 0) abort();
    if (pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) abort();
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

const char* const kSections[] = {"LOG", "MAVO", "POSTGRESQL"};
const char* const kKeys[] = {"log_info_file",
                             "log_daemon_file",
                             "daemon_id",
                             "core_number",
                             "thread_number",
                             "load_mod",
                             "interval_check_update",
                             "verify_state_change",
                             "wait_state_verify",
                             "plugin_timeout",
                             "connection_number",
                             "PGSQL_host",
                             "PGSQL_port",
                             "PGSQL_db",
                             "PGSQL_username",
                             "PGSQL_pwd"};

// A value is the text after the first "=" of one line: part of the file, without a line break,
// and followed in the file by a line break or the end.
void checkValue(const std::string& file, const std::string& value) {
  if (value.empty()) return;
  if (value.find('\n') != std::string::npos) abort();
  for (std::string::size_type at = file.find(value); at != std::string::npos;
       at = file.find(value, at + 1)) {
    const std::string::size_type end = at + value.size();
    if (end == file.size() || file[end] == '\n') return;
  }
  abort();
}

void lookUp(iniConfig& cfg, const std::string& file, const std::string& section,
            const std::string& key) {
  checkValue(file, cfg.getKey(section, key));
  cfg.getKeyToInt(section, key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemFile file;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string section;
  std::string key;
  bool extra = false;
  const std::string::size_type first = text.find('\0');
  if (first != std::string::npos) {
    const std::string::size_type second = text.find('\0', first + 1);
    if (second != std::string::npos) {
      section = text.substr(0, first);
      key = text.substr(first + 1, second - first - 1);
      text.erase(0, second + 1);
      extra = true;
    }
  }
  file.write(text);

  iniConfig cfg(file.path());
  // Four of the daemon's keys in each section, chosen by the input so that a run stays fast
  // (every lookup opens and reads the file again).
  constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
  const size_t pick = size * 7 + (size > 0 ? data[size - 1] : 0);
  for (const char* s : kSections) {
    for (size_t i = 0; i < 4; ++i) lookUp(cfg, text, s, kKeys[(pick + i * 5) % kKeyCount]);
  }
  if (extra) {
    lookUp(cfg, text, section, key);
    for (const auto& [k, v] : *cfg.getSection(section)) {
      if (k.find('\n') != std::string::npos || v.find('\n') != std::string::npos) abort();
    }
  }
  return 0;
}
