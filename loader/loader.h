#pragma once
// Loaders of the service query: load_script for new services (at start, and ADD requests),
// load_UpdateService for changed ones (UPDATE requests). A service id is scheduled at most once:
// either loader places an unscheduled service on the least-loaded core and hands a scheduled
// one's new definition to serviceUpdate. Run by main at start and then only by the reload
// thread, never concurrently.

#include <string>
#include <unordered_set>

#include "service/service.h"

class pgConnectionPool;
struct SchedContext;

// Ids of services.
using IdSet = std::unordered_set<unsigned long long>;

// Execute the prepared statement name on pool and load every row, one service per service id
// (a further row of a service adds its alerting program). A service whose id is already
// scheduled replaces that definition, which its worker takes at its next run; any other is
// placed on the least-loaded core of ctx with a first run spread over ctx.load_spread seconds
// (ctx.scheduled decides, with ctx.updates for the new definitions). Ids in skip
// (marked for deletion) are not loaded. A failing row is logged ("Failed to initial load
// service: <id><what>" from load_script, "Failed to load service: " from load_UpdateService)
// and skipped; a failing statement throws PostgresqlException.
void load_script(const SchedContext& ctx, pgConnectionPool* pool, std::string name,
                 const IdSet* skip = nullptr);
void load_UpdateService(const SchedContext& ctx, pgConnectionPool* pool, std::string name,
                        const IdSet* skip = nullptr);
