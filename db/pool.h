#pragma once
// Pools of mutex-guarded libpq connections. Every database access of the daemon goes through a
// pgConnectionPool: requests are spread round robin over its connections, each connection
// serialises its libpq calls with its own mutex. Results are handed to the caller, which
// releases them with PQclear; a failed request throws PostgresqlException and returns nothing.

#include <libpq-fe.h>
#include <pthread.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

class PostgresqlException : public std::exception {
 public:
  explicit PostgresqlException(std::string message, bool connection_lost = false)
      : message(std::move(message)), connection_lost(connection_lost) {}
  ~PostgresqlException() override = default;
  const char* what() const noexcept override { return message.c_str(); }
  // True when the request failed because the connection to the server is broken (and could
  // not be re-established), rather than because the server refused the statement.
  bool connectionLost() const { return connection_lost; }

 private:
  std::string message;
  bool connection_lost;
};

// A statement prepared on every connection of a pool, kept so that a re-established
// connection can prepare it again. nparams 0: the server infers the parameters.
struct PreparedStatement {
  std::string name;
  std::string sql;
  int nparams;
};

// One libpq connection; every libpq call on conn is made while holding mutex.
class pgSafeThread {
 public:
  // Opens the connection; throws PostgresqlException(PQerrorMessage + "\n") on failure.
  explicit pgSafeThread(std::string connection_string);
  virtual ~pgSafeThread();
  pgSafeThread(const pgSafeThread&) = delete;
  pgSafeThread& operator=(const pgSafeThread&) = delete;

  PGresult* executeRequest(std::string sql);
  PGresult* executeParamRequest(std::string sql, const std::vector<std::string>& params);
  void prepareRequest(std::string name, std::string sql, int nparams);
  void prepareRequest(std::string name, std::string sql);
  PGresult* executePrepareRequest(std::string name, const std::vector<std::string>& params);
  PGresult* executePrepareRequest(std::string name);
  std::string getClientEncoding();
  // Backend process id of the connection (used by tests to tell connections apart).
  int backendPid();

  // Whether libpq still considers the connection usable.
  bool connected();
  // Re-establishes a broken connection and prepares the statements again. Attempts are paced
  // to one per second; returns false when no attempt was made or it failed. The loss, the
  // failed attempts (at most every 30 s) and the recovery are logged once each.
  bool reconnect(const std::vector<PreparedStatement>& statements);

 private:
  PGconn* conn;  // owned; guarded by mutex
  std::string connectionString;
  pthread_mutex_t mutex;
  bool lost = false;             // guarded by mutex: the loss has been logged
  long last_attempt_ms = 0;      // guarded by mutex: monotonic time of the last reset
  long last_failure_log_ms = 0;  // guarded by mutex
};

class pgConnectionPool {
 public:
  // Opens count connections in order. A count below 1 is refused (PostgresqlException); when
  // one connection fails, those already opened are closed and the failure is rethrown.
  pgConnectionPool(std::string connection_string, int count);
  virtual ~pgConnectionPool();
  pgConnectionPool(const pgConnectionPool&) = delete;
  pgConnectionPool& operator=(const pgConnectionPool&) = delete;

  pgSafeThread* getNextConnection();
  int getConnectionNumber();

  // Prepare on every connection in order, holding poolMutex; the first failure stops the loop.
  void prepareRequest(std::string name, std::string sql, int nparams);
  void prepareRequest(std::string name, std::string sql);
  // Whether a statement of that name has been prepared on the pool.
  bool hasPrepared(const std::string& name);

  // Run on the next connection (round robin). The caller owns the returned result.
  PGresult* executeRequest(std::string sql);
  PGresult* executeParamRequest(std::string sql, const std::vector<std::string>& params);
  PGresult* executePrepareRequest(std::string name, const std::vector<std::string>& params);
  PGresult* executePrepareRequest(std::string name);
  std::string getClientEncoding();

 private:
  std::vector<pgSafeThread*> connections;  // owned; fixed after construction
  std::string connectionString;
  // Runs call on the next connection; when it fails on a broken connection, re-establishes
  // that connection (paced) and retries once.
  template <typename Call>
  PGresult* run(Call call);

  pthread_mutex_t poolMutex;                // guards connections, nextConnectionID and prepared
  uint32_t nextConnectionID;                // guarded by poolMutex
  std::vector<PreparedStatement> prepared;  // guarded by poolMutex
};

// The shared pool (one connection) used by start-up, the loaders and the reload thread.
extern pgConnectionPool* pgSQL;
