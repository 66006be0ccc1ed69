#pragma once
// Loaders of the service query: load_script places new services on the least-loaded core with a
// first run spread over modulo_rand seconds; load_UpdateService hands changed services to
// serviceUpdate. Run by main at start and then only by the reload thread, never concurrently.

#include <string>

#include "service/service.h"

class pgConnectionPool;

// Executes the prepared statement name on pool and loads every row. A failing row is logged
// ("Failed to initial load service: <id><what>") and skipped; a failing statement throws
// PostgresqlException.
void load_script(pgConnectionPool* pool, std::string name);
void load_UpdateService(pgConnectionPool* pool, std::string name);
