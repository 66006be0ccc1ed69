#pragma once
// Loaders of the service query: load_script for new services (at start, and ADD requests),
// load_UpdateService for changed ones (UPDATE requests). A service id is scheduled at most once:
// either loader places an unscheduled service on the least-loaded core and hands a scheduled
// one's new definition to serviceUpdate. Run by main at start and then only by the reload
// thread, never concurrently.

#include <string>
#include <unordered_set>
#include <vector>

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

// A service that the loader would refuse, or that it would load but that cannot run as written.
struct ServiceProblem {
  std::string service_id;  // as the row holds it ("" when NULL)
  std::string service_name;
  bool refused;        // not loaded at all
  std::string reason;  // for a refused one, what load_script logs after the id
};
struct ServiceCheck {
  size_t loaded = 0;  // services the loader would load (those that cannot run included)
  std::vector<ServiceProblem> problems;
};
// What load_script would make of the rows of the prepared statement name, without scheduling
// anything or writing to the log: the rows it would refuse, with the reason it would log; and,
// of those it would load, each one whose plugin cannot be started by this process (every run
// would end UNKNOWN) and each one whose argument line keeps a "$AUTH_FILE_" keyword that the
// device has no value for (the plugin would get the keyword itself). Ids in skip are left
// out. Throws PostgresqlException when the statement fails.
ServiceCheck checkServices(pgConnectionPool* pool, const std::string& name,
                           const IdSet* skip = nullptr);
