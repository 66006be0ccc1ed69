#pragma once
// Start-up, waiting and shutdown of the daemon.

#include <signal.h>

// SIGTERM handler: hands the stop over to the stop watcher thread.
void HandlerQuit(int sig);
// SIGHUP handler: has the stop watcher thread reopen the daemon log (log rotation).
void HandlerReopenLog(int sig);
// The version of the daemon (the project's, set in CMakeLists.txt).
const char* daemonVersion();
// The daemon's main: returns the process exit status.
int runDaemon(int argc, char** argv);
