#pragma once
// Database writes of a run's result: state and output, incidents opened and acknowledged.
// Called by the workers with their core's pool, on which the statements are prepared.

#include <map>
#include <string>

class pgConnectionPool;
class service;

// Error name -> error id text, filled by main at start, read-only afterwards.
extern std::map<std::string, std::string> map_error;

// Error id of a state (1, 2, 3, 5); "" for any other state or a name missing from map_error.
std::string getErrorId(int state);
// Stores state, output and time of the run ("UpdateState"). Throws PostgresqlException.
void updateService(const service& s, pgConnectionPool* pool);
// Opens an incident; returns its happen_id, or "-1" after logging a failure.
std::string InsertError(const service& s, int state, pgConnectionPool* pool);
// Acknowledges every open incident of the service; returns the first id, or "-1".
std::string AcquitteError(const service& s, int state, pgConnectionPool* pool);

// The two statements without their error handling: they throw PostgresqlException, so that a
// caller can tell a lost connection from a refused statement. "-1" when no row came back.
std::string insertIncident(const service& s, int state, pgConnectionPool* pool);
std::string acknowledgeIncidents(const service& s, pgConnectionPool* pool);
// InsertError and AcquitteError, except that with rethrow_lost a failure on a lost connection
// is thrown (for the caller to keep the write) instead of logged.
std::string insertErrorOrLost(const service& s, int state, pgConnectionPool* pool,
                              bool rethrow_lost);
std::string acquitteErrorOrLost(const service& s, int state, pgConnectionPool* pool,
                                bool rethrow_lost);
