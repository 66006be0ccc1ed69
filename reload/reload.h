#pragma once
// The reload thread: brings new, changed and deleted services and planned maintenance windows
// from the database into the running schedule.

class pgConnectionPool;

// Prepares the reload statements on pool. Throws PostgresqlException.
void prepareReloadStatements(pgConnectionPool* pool);
// One cycle up to (not including) the sleep: maintenance planning, new and changed services,
// deletions, purge, left-over incidents, maintenance windows, old windows.
void reloadCycle(pgConnectionPool* pool);
// Deletes from the database every service that the workers moved into deleteService.
void deleteRemovedServices(pgConnectionPool* pool);
// Thread entry; the argument is unused.
void* thread_load_delete_service(void* arg);
