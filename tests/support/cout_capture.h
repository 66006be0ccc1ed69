#pragma once
// Captures what the daemon log (std::cout) receives while alive. Reads take the log's mutex, so
// a test may look at the text while daemon threads are still logging.

#include <iostream>
#include <sstream>
#include <string>

#include "core/log.h"
#include "core/scoped_lock.h"

class CoutCapture {
 public:
  CoutCapture() { old_ = redirectLog(buf_.rdbuf()); }
  ~CoutCapture() { redirectLog(old_); }
  CoutCapture(const CoutCapture&) = delete;
  CoutCapture& operator=(const CoutCapture&) = delete;

  std::string text() const {
    ScopedLock lock(&mutex_log_system);
    return buf_.str();
  }

 private:
  std::ostringstream buf_;
  std::streambuf* old_ = nullptr;
};
