// Connection pool and mutex-guarded connection. Any thread may execute on a pool; poolMutex is
// held only to choose a connection (and for a pool-wide prepare, where each connection's mutex
// is taken inside it); a connection's mutex is held for one libpq call and the reading of its
// status and error text.

#include "db/pool.h"

#include <time.h>

#include "core/log.h"
#include "core/scoped_lock.h"
#include "db/pg_handles.h"

pgConnectionPool* pgSQL = nullptr;

namespace {

bool succeeded(const PGresult* r) {
  ExecStatusType st = PQresultStatus(r);
  return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

long monotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::vector<const char*> valuePointers(const std::vector<std::string>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const auto& p : params) values.push_back(p.c_str());
  return values;
}

// The result's error text; libpq gives no result at all when the connection is gone, and then
// the connection's own message tells why.
std::string resultError(const PGresult* r, PGconn* conn) {
  if (r != nullptr) return PQresultErrorMessage(r);
  return PQerrorMessage(conn);
}

}  // namespace

pgSafeThread::pgSafeThread(std::string connection_string)
    : conn(nullptr), connectionString(std::move(connection_string)) {
  PgConn c(PQconnectdb(connectionString.c_str()));
  if (PQstatus(c.get()) != CONNECTION_OK) {
    throw PostgresqlException(std::string(PQerrorMessage(c.get())) + "\n");
  }
  pthread_mutex_init(&mutex, nullptr);
  conn = c.release();  // from here the destructor owns it
}

pgSafeThread::~pgSafeThread() {
  PQfinish(conn);
  pthread_mutex_destroy(&mutex);
}

PGresult* pgSafeThread::executeRequest(std::string sql) {
  PgResult res;
  std::string error;
  bool broken = false;
  {
    ScopedLock lock(&mutex);
    res.reset(PQexec(conn, sql.c_str()));
    if (!succeeded(res.get())) {
      error = PQerrorMessage(conn);
      broken = PQstatus(conn) != CONNECTION_OK;
    }
  }
  if (!succeeded(res.get())) throw PostgresqlException("execute failed:  " + error, broken);
  return res.release();
}

PGresult* pgSafeThread::executeParamRequest(std::string sql,
                                            const std::vector<std::string>& params) {
  std::vector<const char*> values = valuePointers(params);
  PgResult res;
  bool broken = false;
  {
    ScopedLock lock(&mutex);
    res.reset(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                           values.data(), nullptr, nullptr, 0));
    if (!succeeded(res.get())) broken = PQstatus(conn) != CONNECTION_OK;
  }
  if (!succeeded(res.get()))
    throw PostgresqlException(std::string("Execute failed:  ") + resultError(res.get(), conn),
                              broken);
  return res.release();
}

void pgSafeThread::prepareRequest(std::string name, std::string sql, int nparams) {
  PgResult res;
  std::string error;
  bool broken = false;
  {
    ScopedLock lock(&mutex);
    res.reset(PQprepare(conn, name.c_str(), sql.c_str(), nparams, nullptr));
    if (!succeeded(res.get())) {
      error = PQerrorMessage(conn);
      broken = PQstatus(conn) != CONNECTION_OK;
    }
  }
  if (!succeeded(res.get())) throw PostgresqlException("prepare failed:  " + error, broken);
}

void pgSafeThread::prepareRequest(std::string name, std::string sql) {
  prepareRequest(std::move(name), std::move(sql), 0);
}

PGresult* pgSafeThread::executePrepareRequest(std::string name,
                                              const std::vector<std::string>& params) {
  std::vector<const char*> values = valuePointers(params);
  PgResult res;
  bool broken = false;
  {
    ScopedLock lock(&mutex);
    res.reset(PQexecPrepared(conn, name.c_str(), static_cast<int>(values.size()), values.data(),
                             nullptr, nullptr, 0));
    if (!succeeded(res.get())) broken = PQstatus(conn) != CONNECTION_OK;
  }
  if (!succeeded(res.get()))
    throw PostgresqlException(
        std::string("Exec prepareRequest failed:  ") + resultError(res.get(), conn), broken);
  return res.release();
}

PGresult* pgSafeThread::executePrepareRequest(std::string name) {
  return executePrepareRequest(std::move(name), {});
}

std::string pgSafeThread::getClientEncoding() {
  ScopedLock lock(&mutex);
  return pg_encoding_to_char(PQclientEncoding(conn));
}

int pgSafeThread::backendPid() {
  ScopedLock lock(&mutex);
  return PQbackendPID(conn);
}

bool pgSafeThread::connected() {
  ScopedLock lock(&mutex);
  return PQstatus(conn) == CONNECTION_OK;
}

bool pgSafeThread::reconnect(const std::vector<PreparedStatement>& statements) {
  std::string lost_text, failure_text;
  bool recovered = false;
  {
    ScopedLock lock(&mutex);
    if (PQstatus(conn) == CONNECTION_OK && !lost) return true;  // another thread was faster
    const long now = monotonicMs();
    if (lost && now - last_attempt_ms < 1000) return false;
    if (!lost) {
      lost = true;
      lost_text = PQerrorMessage(conn);
    }
    last_attempt_ms = now;
    PQreset(conn);
    if (PQstatus(conn) == CONNECTION_OK) {
      for (const auto& st : statements) {
        PgResult r(PQprepare(conn, st.name.c_str(), st.sql.c_str(), st.nparams, nullptr));
        if (!succeeded(r.get())) {
          failure_text = std::string("prepare of ") + st.name + " failed: " + PQerrorMessage(conn);
          break;
        }
      }
      recovered = failure_text.empty();
    } else {
      failure_text = PQerrorMessage(conn);
    }
    if (recovered) {
      lost = false;
      last_failure_log_ms = 0;
    } else if (last_failure_log_ms != 0 && now - last_failure_log_ms < 30000) {
      failure_text.clear();  // already said recently
    } else {
      last_failure_log_ms = now;
    }
  }
  if (!lost_text.empty()) write_log("ERR", "database connection lost, reconnecting: " + lost_text);
  if (!failure_text.empty())
    write_log("ERR", "database reconnection failed, retrying: " + failure_text);
  if (recovered) write_log("INFO", "database connection re-established");
  return recovered;
}

template <typename Call>
PGresult* pgConnectionPool::run(Call call) {
  pgSafeThread* c = getNextConnection();
  try {
    return call(c);
  } catch (const PostgresqlException& e) {
    if (!e.connectionLost()) throw;
    std::vector<PreparedStatement> statements;
    {
      ScopedLock lock(&poolMutex);
      statements = prepared;
    }
    if (!c->reconnect(statements)) throw;
  }
  return call(c);  // once, on the re-established connection
}

pgConnectionPool::pgConnectionPool(std::string connection_string, int count)
    : connectionString(std::move(connection_string)), nextConnectionID(0) {
  // Every request needs a connection: a pool without one is refused here rather than failing
  // on its first request.
  if (count < 1)
    throw PostgresqlException("connection pool needs at least one connection, got " +
                              std::to_string(count));
  try {
    for (int k = 0; k < count; ++k) connections.push_back(new pgSafeThread(connectionString));
  } catch (const PostgresqlException& e) {
    for (pgSafeThread* c : connections) delete c;
    connections.clear();
    throw PostgresqlException(e.what());
  }
  pthread_mutex_init(&poolMutex, nullptr);
}

pgConnectionPool::~pgConnectionPool() {
  {
    ScopedLock lock(&poolMutex);
    for (pgSafeThread* c : connections) delete c;
    connections.clear();
  }
  pthread_mutex_destroy(&poolMutex);
}

pgSafeThread* pgConnectionPool::getNextConnection() {
  ScopedLock lock(&poolMutex);
  uint32_t i = nextConnectionID;
  if (i < connections.size()) {
    nextConnectionID = i + 1;
  } else {
    i = 0;
    nextConnectionID = 1;
  }
  return connections[i];
}

int pgConnectionPool::getConnectionNumber() {
  ScopedLock lock(&poolMutex);
  return static_cast<int>(connections.size());
}

void pgConnectionPool::prepareRequest(std::string name, std::string sql, int nparams) {
  ScopedLock lock(&poolMutex);
  for (pgSafeThread* c : connections) {
    try {
      c->prepareRequest(name, sql, nparams);
    } catch (const PostgresqlException& e) {
      throw PostgresqlException(e.what());  // later connections stay unprepared
    }
  }
  prepared.push_back({name, sql, nparams});
}

void pgConnectionPool::prepareRequest(std::string name, std::string sql) {
  prepareRequest(std::move(name), std::move(sql), 0);
}

bool pgConnectionPool::hasPrepared(const std::string& name) {
  ScopedLock lock(&poolMutex);
  for (const auto& st : prepared) {
    if (st.name == name) return true;
  }
  return false;
}

PGresult* pgConnectionPool::executeRequest(std::string sql) {
  return run([&](pgSafeThread* c) { return c->executeRequest(sql); });
}

PGresult* pgConnectionPool::executeParamRequest(std::string sql,
                                                const std::vector<std::string>& params) {
  return run([&](pgSafeThread* c) { return c->executeParamRequest(sql, params); });
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name,
                                                  const std::vector<std::string>& params) {
  return run([&](pgSafeThread* c) { return c->executePrepareRequest(name, params); });
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name) {
  return run([&](pgSafeThread* c) { return c->executePrepareRequest(name); });
}

std::string pgConnectionPool::getClientEncoding() {
  return getNextConnection()->getClientEncoding();
}
