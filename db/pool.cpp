// Connection pool and mutex-guarded connection. Any thread may execute on a pool; poolMutex is
// held only to choose a connection (and for a pool-wide prepare, where each connection's mutex
// is taken inside it); a connection's mutex is held for one libpq call and the reading of its
// status and error text.

#include "db/pool.h"

#include "core/scoped_lock.h"
#include "db/pg_handles.h"

pgConnectionPool* pgSQL = nullptr;

namespace {

bool succeeded(const PGresult* r) {
  ExecStatusType st = PQresultStatus(r);
  return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

std::vector<const char*> valuePointers(const std::vector<std::string>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const auto& p : params) values.push_back(p.c_str());
  return values;
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
  {
    ScopedLock lock(&mutex);
    res.reset(PQexec(conn, sql.c_str()));
    if (!succeeded(res.get())) error = PQerrorMessage(conn);
  }
  if (!succeeded(res.get())) throw PostgresqlException("execute failed:  " + error);
  return res.release();
}

PGresult* pgSafeThread::executeParamRequest(std::string sql,
                                            const std::vector<std::string>& params) {
  std::vector<const char*> values = valuePointers(params);
  PgResult res;
  {
    ScopedLock lock(&mutex);
    res.reset(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                           values.data(), nullptr, nullptr, 0));
  }
  if (!succeeded(res.get()))
    throw PostgresqlException(std::string("Execute failed:  ") + PQresultErrorMessage(res.get()));
  return res.release();
}

void pgSafeThread::prepareRequest(std::string name, std::string sql, int nparams) {
  PgResult res;
  std::string error;
  {
    ScopedLock lock(&mutex);
    res.reset(PQprepare(conn, name.c_str(), sql.c_str(), nparams, nullptr));
    if (!succeeded(res.get())) error = PQerrorMessage(conn);
  }
  if (!succeeded(res.get())) throw PostgresqlException("prepare failed:  " + error);
}

void pgSafeThread::prepareRequest(std::string name, std::string sql) {
  prepareRequest(std::move(name), std::move(sql), 0);
}

PGresult* pgSafeThread::executePrepareRequest(std::string name,
                                              const std::vector<std::string>& params) {
  std::vector<const char*> values = valuePointers(params);
  PgResult res;
  {
    ScopedLock lock(&mutex);
    res.reset(PQexecPrepared(conn, name.c_str(), static_cast<int>(values.size()), values.data(),
                             nullptr, nullptr, 0));
  }
  if (!succeeded(res.get()))
    throw PostgresqlException(std::string("Exec prepareRequest failed:  ") +
                              PQresultErrorMessage(res.get()));
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
}

void pgConnectionPool::prepareRequest(std::string name, std::string sql) {
  prepareRequest(std::move(name), std::move(sql), 0);
}

PGresult* pgConnectionPool::executeRequest(std::string sql) {
  return getNextConnection()->executeRequest(std::move(sql));
}

PGresult* pgConnectionPool::executeParamRequest(std::string sql,
                                                const std::vector<std::string>& params) {
  return getNextConnection()->executeParamRequest(std::move(sql), params);
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name,
                                                  const std::vector<std::string>& params) {
  return getNextConnection()->executePrepareRequest(std::move(name), params);
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name) {
  return getNextConnection()->executePrepareRequest(std::move(name));
}

std::string pgConnectionPool::getClientEncoding() {
  return getNextConnection()->getClientEncoding();
}
