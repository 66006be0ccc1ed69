#pragma once
// Pools of mutex-guarded libpq connections. Every database access of the daemon goes through a
// pgConnectionPool. A request takes a connection that no other thread holds (looking from the
// next one in turn), runs on it and hands the result to the caller, which releases it with
// PQclear; a failed request throws PostgresqlException and returns nothing.
//
// Every request has a deadline: it is sent and its answer awaited with libpq's asynchronous
// calls and a poll on the connection's socket, at most the pool's timeout. A request without an
// answer in time is cancelled and, when the server does not answer the cancel either, its
// connection is dropped as lost.
// While a pool's database does not answer, one request at a time finds out whether it is back;
// the others fail at once, so that callers keep their writes for later instead of waiting.

#include <libpq-fe.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/histogram.h"

// What a failed request says about the write that asked for it.
enum class PgErrorKind {
  kLost,       // the connection is gone, or the server did not answer in time
  kTransient,  // the server refused it for now: read-only, out of resources, shutting down,
               // cancelled, serialization failure or deadlock, lock not available
  kData,       // the server refused the statement itself (its data, its text): trying again
               // gives the same answer
};

class PostgresqlException : public std::exception {
 public:
  explicit PostgresqlException(std::string message, bool connection_lost = false)
      : message(std::move(message)),
        kind_(connection_lost ? PgErrorKind::kLost : PgErrorKind::kData) {}
  PostgresqlException(std::string message, PgErrorKind kind, std::string sqlstate,
                      bool timed_out = false, bool may_have_run = false)
      : message(std::move(message)),
        kind_(kind),
        sqlstate_(std::move(sqlstate)),
        timed_out_(timed_out),
        may_have_run_(may_have_run) {}
  ~PostgresqlException() override = default;
  const char* what() const noexcept override { return message.c_str(); }

  PgErrorKind kind() const { return kind_; }
  // True when the request failed because the connection to the server is broken (and could
  // not be re-established) or the server did not answer in time.
  bool connectionLost() const { return kind_ == PgErrorKind::kLost; }
  // True when the same write may succeed later: everything but an error of the data itself.
  bool retryable() const { return kind_ != PgErrorKind::kData; }
  // The server's SQLSTATE ("" when it gave none).
  const std::string& sqlstate() const { return sqlstate_; }
  // No answer came within the deadline (the request may still have run on the server).
  bool timedOut() const { return timed_out_; }
  // The request reached the server and no answer says what became of it: it may have run, and
  // a COMMIT may have committed. False when it was never sent, or the server answered (with an
  // error, or by ending the session before it ran anything of it).
  bool mayHaveRun() const { return may_have_run_; }

 private:
  std::string message;
  PgErrorKind kind_;
  std::string sqlstate_;
  bool timed_out_ = false;
  bool may_have_run_ = false;
};

// The kind of an error by its SQLSTATE: class 08 lost; 25006, class 53, 57P01-57P03, 57014,
// 55P03 and class 40 transient; anything else an error of the data.
PgErrorKind classifySqlstate(const std::string& sqlstate);

// A statement prepared on every connection of a pool, kept so that a re-established
// connection can prepare it again. nparams 0: the server infers the parameters.
struct PreparedStatement {
  std::string name;
  std::string sql;
  int nparams;
};

// What a pool's requests count as they go, without a lock (read by the metrics endpoint and the
// health check).
struct PoolStats {
  // The SQLSTATE classes counted apart; any other class counts as "other", a failure without
  // SQLSTATE as "timeout" (no answer in time) or "lost" (the connection broke).
  static constexpr const char* kClasses[] = {"08", "22", "23", "25",    "40",      "42",  "53",
                                             "55", "57", "XX", "other", "timeout", "lost"};
  static constexpr size_t kClassCount = sizeof(kClasses) / sizeof(kClasses[0]);
  static size_t classIndex(const std::string& sqlstate, bool timed_out);

  PoolStats();
  Histogram request_seconds;  // every request that got an answer, or gave up waiting
  std::atomic<uint64_t> errors[kClassCount];
  std::atomic<uint64_t> reconnects{0};     // connections re-established
  std::atomic<int64_t> last_answer_ms{0};  // monotonic time the server last answered
};

// Time limit of one request, and of one connection attempt per host, when none is given.
constexpr int kDefaultPgTimeoutSeconds = 10;

// One libpq connection; every libpq call on conn is made while holding mutex. A connection
// that failed (lost, no answer in time, statements not prepared again, read-only session) is
// marked broken and is re-established before its next request.
class pgSafeThread {
 public:
  // Opens the connection within timeout_seconds per host; throws
  // PostgresqlException(PQerrorMessage + "\n") on failure.
  explicit pgSafeThread(std::string connection_string,
                        int timeout_seconds = kDefaultPgTimeoutSeconds, PoolStats* stats = nullptr);
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
  // Backend process id of the connection (0 while broken).
  int backendPid();

  // Whether the connection is usable (not marked broken).
  bool connected();
  // Re-establishes a broken connection and prepares the statements again. Attempts are paced
  // to one per second while the database stays unreachable; returns false when no attempt was
  // made or it failed (the connection then stays broken). The loss, the failed attempts (at
  // most every 30 s) and the recovery are logged once each.
  bool reconnect(const std::vector<PreparedStatement>& statements);

  // What happened to the requests of the current holder (the pool reads these when the
  // connection is handed back): whether the server answered one of them.
  bool answeredSinceMark();
  void markAnswered(bool answered);

 private:
  enum class Send { kExec, kParams, kPrepare, kPrepared };
  struct Request;
  // The one body of every request: sends it, awaits its answer until the deadline and reads
  // the status and error text, all under mutex. Throws PostgresqlException; returns the result
  // (owned by the caller; null for a prepare).
  PGresult* run(const Request& request);
  PGresult* runLocked(const Request& request);
  // Under mutex: drops the connection and marks it broken, keeping why for the log.
  void breakLocked(const std::string& why);
  // Under mutex: starts a cancel of the request in progress on its own thread (libpq's cancel
  // blocks until the server answers it), at most one at a time.
  void cancelLocked();

  PGconn* conn;  // owned; guarded by mutex; null once dropped
  std::string connectionString;
  pthread_mutex_t mutex;
  int timeout_ms;
  bool broken = false;           // guarded by mutex
  std::string broken_reason;     // guarded by mutex
  bool lost = false;             // guarded by mutex: the loss has been logged
  long last_attempt_ms = 0;      // guarded by mutex: monotonic time of the last attempt
  long last_failure_log_ms = 0;  // guarded by mutex
  bool answered = false;         // guarded by mutex
  std::shared_ptr<std::atomic<bool>> cancelling;  // a cancel thread is running
  PoolStats* stats;                               // its pool's; may be null
};

class pgConnectionPool {
 public:
  // Opens count connections in order, each within timeout_seconds per host. A count below 1 is
  // refused (PostgresqlException); when one connection fails, those already opened are closed
  // and the failure is rethrown. Every request of the pool waits at most timeout_seconds.
  pgConnectionPool(std::string connection_string, int count,
                   int timeout_seconds = kDefaultPgTimeoutSeconds);
  virtual ~pgConnectionPool();
  pgConnectionPool(const pgConnectionPool&) = delete;
  pgConnectionPool& operator=(const pgConnectionPool&) = delete;

  // The next connection in turn, whether another thread holds it or not (for tests and
  // diagnostics; requests take a free connection through Lease).
  pgSafeThread* getNextConnection();
  int getConnectionNumber();

  // Prepare on every connection in order, holding poolMutex (each connection is taken when no
  // request holds it); the first failure stops the loop.
  void prepareRequest(std::string name, std::string sql, int nparams);
  void prepareRequest(std::string name, std::string sql);
  // Whether a statement of that name has been prepared on the pool.
  bool hasPrepared(const std::string& name);

  // Run on a free connection (the thread's own, when it holds one: see Lease). A request that
  // fails on a lost connection before the server could have run it (see mayHaveRun), outside a
  // held connection, is tried once more on the re-established connection; one that may have
  // run is never sent twice. The caller owns the returned result.
  PGresult* executeRequest(std::string sql);
  PGresult* executeParamRequest(std::string sql, const std::vector<std::string>& params);
  PGresult* executePrepareRequest(std::string name, const std::vector<std::string>& params);
  PGresult* executePrepareRequest(std::string name);
  std::string getClientEncoding();

  // Whether the pool's database answered its last request (false while it is found lost).
  bool answering();
  // Finds out whether a lost database answers again (a trivial request); false when it does
  // not, or another request is finding out already.
  bool probe();

  // While one lives, the calling thread's requests on any pool fail at once while that pool's
  // database is found lost, instead of finding out whether it is back (the workers: their
  // writes are kept for later, and the journal's writer finds out).
  class NoProbe {
   public:
    NoProbe();
    ~NoProbe();
    NoProbe(const NoProbe&) = delete;
    NoProbe& operator=(const NoProbe&) = delete;
  };
  // Longest wait of one request, in milliseconds.
  int timeoutMs() const { return timeout_ms; }
  // What its requests counted.
  const PoolStats& stats() const { return *stats_; }

  // Holds one free connection of the pool for the calling thread, re-established first when
  // it was broken. While it is held, every request the thread makes on the pool runs on that
  // connection (a transaction's statements, and the loaders' queries inside the reload
  // transaction, share one connection), and none of them is tried again on a re-established
  // connection. Throws PostgresqlException: kLost at once while the database is not answering
  // and another request is finding out, or when the connection cannot be re-established;
  // kTransient when no connection is free within a second.
  class Lease {
   public:
    explicit Lease(pgConnectionPool& pool);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    pgSafeThread& connection() { return *conn_; }
    pgSafeThread* operator->() { return conn_; }
    // Whether this thread already held a connection of the pool when the lease was taken.
    bool nested() const { return nested_; }
    // Re-establishes the held connection after it was found lost (paced as
    // pgSafeThread::reconnect); false when it could not be.
    bool reestablish();

   private:
    pgConnectionPool& pool_;
    pgSafeThread* conn_ = nullptr;
    size_t index_ = 0;
    bool nested_ = false;
  };

 private:
  friend class Lease;
  template <typename Call>
  PGresult* run(Call call);
  // Takes a free connection for a lease (see Lease); returns its index. may_probe: while the
  // database is found lost, this lease may be the one that finds out whether it is back.
  size_t acquire(bool may_probe);
  void release(size_t index);
  std::vector<PreparedStatement> preparedStatements();

  std::unique_ptr<PoolStats> stats_;       // shared by the connections, which count in it
  std::vector<pgSafeThread*> connections;  // owned; fixed after construction
  std::string connectionString;
  const int timeout_ms;
  pthread_mutex_t poolMutex;                // guards every member below
  pthread_cond_t freed;                     // a connection was handed back
  uint32_t nextConnectionID;                // guarded by poolMutex
  std::vector<bool> busy;                   // guarded by poolMutex: held by a lease
  std::vector<PreparedStatement> prepared;  // guarded by poolMutex
  bool down = false;        // guarded by poolMutex: the last request found the database lost
  bool probing = false;     // guarded by poolMutex: a lease is finding out whether it is back
  size_t probe_index = 0;   // guarded by poolMutex
  std::string down_reason;  // guarded by poolMutex
};

// The shared pool (one connection) used by start-up, the loaders and the reload thread.
extern pgConnectionPool* pgSQL;
