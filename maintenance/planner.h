#pragma once
// Maintenance planner: turns every configuration starting within 60 minutes into one planned
// window row, then advances the configuration to its next occurrence. Runs in the reload thread.

class pgConnectionPool;

// Throws PostgresqlException from any statement; the two advance statements must be prepared.
void loadMaintenance(pgConnectionPool* pool);
