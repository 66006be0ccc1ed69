#pragma once
// Daemon log: one dated line per message on the standard output stream, which start-up points
// at the log file. Lines look like "Mon Dec  7 03:40:43 2026#INFO#message". Everything that
// writes to the log, or changes where it goes, goes through these functions: nothing else
// touches std::cout or mutex_log_system.

#include <pthread.h>

#include <streambuf>
#include <string>

#include "core/settings.h"

extern pthread_mutex_t mutex_log_system;  // serialises log lines; held only inside these calls

// Opens path for writing, truncated, in append mode, with mode 0640, never through a symbolic
// link, and points the log (std::cout) at it. When it cannot be opened, says so ("ERROR can't
// open file PATH") where the log went until now and points the log at nothing: later lines are
// lost. Returns whether it was opened.
bool openDaemonLog(const std::string& path);
// Opens the path of openDaemonLog again, without truncating it (created, mode 0640, when
// missing), and points the log at it: after a log rotation has renamed the file, the lines go
// to a file of that name again. Under the log's lock, so that every line goes whole to one of
// the two files and none is lost. On success the new file's first line says so; when it cannot
// be opened, the log stays where it was and a line there says why. Returns whether it was
// opened. Descriptors 1 and 2 are left alone: they were never the log's.
bool reopenDaemonLog();
// Flushes the log and points std::cout back at the standard output the process was started
// with; the log file is closed.
void closeDaemonLog();
// Points the log at buf and returns where it went (tests capture the log this way).
std::streambuf* redirectLog(std::streambuf* buf);

// Writes one line (date, "#", level, "#", message) and flushes. The message's control
// characters are written escaped (a line end as \n; see escapeForLog) and its trailing line
// ends dropped: a line of the log is always one line. Never throws.
void write_log(std::string level, std::string message);
// Writes text as it is (no date, no level) and flushes, so that it never lands inside another
// thread's line; texts from the database or a plugin in it go through escapeForLog. Never
// throws.
void write_raw_log(const std::string& text);
// text with its control characters escaped: \n, \r, \t, \xHH.
std::string escapeForLog(const std::string& text);
// Writes text (escaped as write_log does) and a line end on the log and, once the log is a file,
// on the standard output the process was started with too (the operator's terminal): for the
// failure that ends start-up.
void write_fatal(const std::string& text);
// Whether Trace writes (debug is 1 or 2): callers build trace texts only then.
inline bool traceOn() { return debug == 1 || debug == 2; }
// write_log("DEBUG", message) when traceOn(); takes no lock otherwise.
void Trace(std::string message);
