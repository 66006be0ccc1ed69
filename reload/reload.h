#pragma once
// The reload thread: brings new, changed and deleted services and planned maintenance windows
// from the database into the running schedule.

class pgConnectionPool;
struct SchedContext;

// Prepares the reload statements of the daemon id_cluster on pool. Throws PostgresqlException.
// shared: several daemons share the identifier; the statements then take the owned buckets.
void prepareReloadStatements(pgConnectionPool* pool, int id_cluster, bool shared = false);
// One cycle up to (not including) the sleep, on pool with what ctx holds: maintenance planning,
// deletion marks, new and changed services, purge, left-over incidents, maintenance windows,
// old windows. Each part fails alone.
void reloadCycle(const SchedContext& ctx, pgConnectionPool* pool);
// Deletes from the database every service the workers dropped (ctx.dropped), and the marked
// services the last cycle found unscheduled.
void deleteRemovedServices(const SchedContext& ctx, pgConnectionPool* pool);
// Thread entry; arg is the daemon's SchedContext* (its main pool is the thread's pool).
void* thread_load_delete_service(void* arg);
