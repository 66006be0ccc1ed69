#pragma once
// Maintenance planner: turns every configuration starting within 60 minutes into one planned
// window row, then advances the configuration to its next occurrence. Runs in the reload thread.

class pgConnectionPool;

#include <string>

// Throws PostgresqlException from any statement; the two advance statements must be prepared.
// Plans the configurations of the daemon id_cluster (all when 0 or less); without it, those of
// the global id_cluster. owned_buckets (an int[] text), when given, narrows them to the services
// of those buckets (several daemons sharing the identifier each plan their own).
void loadMaintenance(pgConnectionPool* pool, int id_cluster, const std::string& owned_buckets = "");
void loadMaintenance(pgConnectionPool* pool);
