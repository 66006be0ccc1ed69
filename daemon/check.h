#pragma once
// mavoDaemon --check (-t): the configuration and the database, checked the way start-up would
// use them, without starting anything.

#include <string>

// Reads the configuration at config_path as start-up does and names every bad key; connects to
// the database; prepares, in a read-only transaction that is rolled back, every statement the
// daemon prepares and every other text it runs, so that a missing table or column is named;
// and names the services of the daemon identifier (id_option, the -i value, replaced by
// daemon_id when that is not "0") that the loader would refuse or that cannot run. Writes to
// standard output only: neither the daemon log nor the status file is touched, and nothing
// waits. Returns the exit status: 0 when all is well, 1 otherwise.
int runConfigurationCheck(const std::string& config_path, int id_option);
