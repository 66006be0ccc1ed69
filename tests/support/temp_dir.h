#pragma once
// A temporary directory removed with its contents at the end of the test, and small helpers to
// write plugin scripts and read files.

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes an executable script "#!/bin/sh\n" + body and returns its path.
  std::string script(const std::string& name, const std::string& body) const;
  // Writes a plain file and returns its path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
// A process that no longer exists, or a zombie waiting for the parent it was handed to.
bool processGone(int pid);
// Waits up to timeout_ms for pred() to become true, polling every 50 ms.
template <typename Pred>
bool waitFor(Pred pred, int timeout_ms);

#include <unistd.h>
template <typename Pred>
bool waitFor(Pred pred, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 50) {
    if (pred()) return true;
    usleep(50 * 1000);
  }
  return pred();
}
