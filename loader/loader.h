#pragma once
// Loaders of the service query: load_script for new services (at start, and ADD requests),
// load_UpdateService for changed ones (UPDATE requests). A service id is scheduled at most once:
// either loader places an unscheduled service on the least-loaded core and hands a scheduled
// one's new definition to serviceUpdate. Run by main at start and then only by the reload
// thread, never concurrently.

#include <cstdint>
#include <map>
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
// params: the statement's parameters (the owned buckets, when several daemons share the
// identifier).
void load_script(const SchedContext& ctx, pgConnectionPool* pool, std::string name,
                 const IdSet* skip = nullptr, const std::vector<std::string>& params = {});
void load_UpdateService(const SchedContext& ctx, pgConnectionPool* pool, std::string name,
                        const IdSet* skip = nullptr, const std::vector<std::string>& params = {});

// Loads the services of buckets a member has just taken (the prepared statement name on pool,
// sql::cluster::bucketServicesQuery, with buckets as its parameter), fresh from the service
// table, with the bucket's epoch in ctx.cluster. Each is placed on the least-loaded core, due
// one interval after its last run, and one interval after previous_end_ms[its bucket] (from
// now, when the lease of its previous owner ended); one already due is spread over half an
// interval (at most ctx.load_spread). only, when given, limits the load to those ids. *loaded
// counts those placed. Returns the ids that are scheduled still (a copy of an earlier
// ownership on its way out): to be loaded again later.
std::vector<unsigned long long> load_buckets(const SchedContext& ctx, pgConnectionPool* pool,
                                             const std::string& name, const std::string& buckets,
                                             const std::map<int, int64_t>& previous_end_ms,
                                             const IdSet* only, size_t* loaded);

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
