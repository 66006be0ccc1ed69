#pragma once
// Process-wide settings, read from the configuration by main before any thread that reads them
// starts, and never written afterwards (except die_mavo).

#include <pthread.h>
#include <time.h>

#include <string>

extern std::string pathToConfigFile;  // -f, default /etc/mavo/mavo.conf
extern int debug;                     // -D sets 1: Trace lines are written
extern int id_cluster;                // -i, then MAVO/daemon_id when it is not "0"
extern std::string file_info;         // LOG/log_info_file: the status file
extern int core_number;               // MAVO/core_number
extern int nbr_max_thread;            // MAVO/thread_number: workers per core
extern int modulo_rand;               // MAVO/load_mod: spread of first runs, seconds
extern int wait_load_delete_thread;   // MAVO/interval_check_update: reload period, seconds
extern int verify_state_change;       // MAVO/verify_state_change
extern int wait_state_verify;         // MAVO/wait_state_verify: re-test delay, seconds
extern int plugin_timeout;            // MAVO/plugin_timeout: longest plugin run, seconds; 0 = none
extern std::string connectLine;       // libpq connection string built from POSTGRESQL/*
extern int die_mavo;                  // stop flag, set once on SIGTERM

// die_mavo stays an int, but every access goes through these two helpers, which are
// async-signal-safe and race-free.
inline bool stopRequested() { return __atomic_load_n(&die_mavo, __ATOMIC_ACQUIRE) != 0; }
inline void requestStop() { __atomic_store_n(&die_mavo, 1, __ATOMIC_RELEASE); }

// Threads that sleep for long periods (the reload thread) wait here instead, so that a stop
// wakes them at once. Returns true when the stop flag is set.
bool sleepUnlessStopped(long milliseconds);
// Wakes every sleepUnlessStopped caller; called after requestStop().
void wakeStopSleepers();

// Initialises a condition variable whose timed waits count on the monotonic clock (a change of
// the wall clock neither shortens nor lengthens them).
void initMonotonicCond(pthread_cond_t* cond);

// t plus milliseconds (not negative), for the absolute times of timed waits.
timespec addMilliseconds(timespec t, long milliseconds);

// Sleeps for the given milliseconds, resuming after signal interruptions.
void sleepMilliseconds(long milliseconds);

// The first call of every thread of the daemon: an empty signal mask, so that SIGTERM stays
// deliverable on every thread.
void clearThreadSignalMask();
