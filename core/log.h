#pragma once
// Daemon log: one dated line per message on the standard output stream, which start-up points
// at the log file. Lines look like "Mon Dec  7 03:40:43 2026#INFO#message".

#include <pthread.h>

#include <string>

extern pthread_mutex_t mutex_log_system;  // serialises log lines; held only inside write_log

// Writes one line (date, "#", level, "#", message) and flushes. Never throws.
void write_log(std::string level, std::string message);
// Writes text as it is (no date, no level) and flushes, under mutex_log_system, so that it never
// lands inside another thread's line. Never throws.
void write_raw_log(const std::string& text);
// write_log("DEBUG", message) when debug is 1 or 2; takes no lock otherwise.
void Trace(std::string message);
