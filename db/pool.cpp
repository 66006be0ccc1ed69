// Connection pool and mutex-guarded connection.
//
// Any thread may execute on a pool. poolMutex is held only to hand out and take back a
// connection (and for a pool-wide prepare, where each connection's mutex is taken inside it).
// A connection's mutex is held for one request: its sending, the wait for its answer (bounded
// by the pool's timeout) and the reading of its status and error text. A connection is held by
// one lease at a time, so its mutex is uncontended on the request path.
//
// A request is sent with libpq's asynchronous calls on a non-blocking connection and its
// answer awaited with poll on the connection's socket. When the deadline passes, the request
// is cancelled (on a thread of its own: libpq's cancel blocks until the server answers it) and
// the answer awaited for kCancelGraceMs more: a server that answers the cancel is alive (the
// request waited for a lock, say) and the connection stays; one that does not is taken as lost
// and the connection is dropped.

#include "db/pool.h"

#include <errno.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <thread>

#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/statements.h"

pgConnectionPool* pgSQL = nullptr;

namespace {

// How long a request that passed its deadline waits for the answer to its cancel.
const int64_t kCancelGraceMs = 1000;
// How long a request waits for a free connection of its pool.
const int64_t kLeaseWaitMs = 1000;

int64_t deadlineAfter(int64_t ms) { return monotonicMs() + ms; }

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

// Waits until fd is ready for events (or in error) or the deadline passes; false on timeout.
bool waitSocket(int fd, short events, int64_t deadline) {
  for (;;) {
    // Past the deadline the socket is still looked at once: after the process was stopped for a
    // while, the answer may be there already.
    const int64_t left = std::max<int64_t>(0, deadline - monotonicMs());
    pollfd p = {fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;  // libpq reports the failure on its next call
  }
}

const char kNoAnswer[] = "no answer from the database server while connecting\n";

// Polls a connection that libpq started until it is made, fails or the deadline passes. Null
// on failure, with libpq's message (or the timeout, *hung then set) in *error.
PGconn* finishConnect(PGconn* started, int64_t deadline, std::string* error, bool* hung) {
  PgConn c(started);
  if (c == nullptr) {
    *error = "out of memory\n";
    return nullptr;
  }
  PostgresPollingStatusType st = PGRES_POLLING_WRITING;
  if (PQstatus(c.get()) == CONNECTION_BAD) st = PGRES_POLLING_FAILED;
  while (st != PGRES_POLLING_OK) {
    if (st == PGRES_POLLING_FAILED) {
      *error = PQerrorMessage(c.get());
      return nullptr;
    }
    const short events = st == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    if (!waitSocket(PQsocket(c.get()), events, deadline)) {
      *error = kNoAnswer;
      *hung = true;
      return nullptr;
    }
    st = PQconnectPoll(c.get());
  }
  if (PQsetnonblocking(c.get(), 1) != 0) {
    *error = PQerrorMessage(c.get());
    return nullptr;
  }
  return c.release();
}

std::vector<std::string> splitCommas(const std::string& list) {
  std::vector<std::string> items;
  size_t from = 0;
  for (;;) {
    const size_t comma = list.find(',', from);
    items.push_back(list.substr(from, comma - from));
    if (comma == std::string::npos) return items;
    from = comma + 1;
  }
}

// One host of a connection string: its keywords, naming that host alone.
struct HostAttempt {
  std::vector<std::string> keywords, values;
  std::string name;  // for the error message
};

// The hosts a connection string names, in libpq's order, each with every keyword of the string
// but host, hostaddr and port narrowed to its own (one port given applies to every host).
// Empty when it names one host, or when libpq would refuse the lists (it then says why).
std::vector<HostAttempt> hostAttempts(const std::string& conninfo) {
  PQconninfoOption* opts = PQconninfoParse(conninfo.c_str(), nullptr);
  if (opts == nullptr) return {};
  std::vector<std::string> keywords, values;
  std::string host, hostaddr, port;
  for (PQconninfoOption* o = opts; o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    const std::string k = o->keyword;
    if (k == "host")
      host = o->val;
    else if (k == "hostaddr")
      hostaddr = o->val;
    else if (k == "port")
      port = o->val;
    else {
      keywords.push_back(k);
      values.push_back(o->val);
    }
  }
  PQconninfoFree(opts);

  // As libpq: hostaddr decides how many hosts there are, else host.
  const std::vector<std::string> hosts =
      host.empty() ? std::vector<std::string>{} : splitCommas(host);
  const std::vector<std::string> addrs =
      hostaddr.empty() ? std::vector<std::string>{} : splitCommas(hostaddr);
  const std::vector<std::string> ports =
      port.empty() ? std::vector<std::string>{} : splitCommas(port);
  const size_t n = !addrs.empty() ? addrs.size() : std::max<size_t>(1, hosts.size());
  if (n < 2 || (!hosts.empty() && hosts.size() != n) ||
      (!ports.empty() && ports.size() != 1 && ports.size() != n))
    return {};

  std::vector<HostAttempt> attempts(n);
  for (size_t i = 0; i < n; ++i) {
    HostAttempt& a = attempts[i];
    a.keywords = keywords;
    a.values = values;
    if (!hosts.empty()) {
      a.keywords.push_back("host");
      a.values.push_back(hosts[i]);
    }
    if (!addrs.empty()) {
      a.keywords.push_back("hostaddr");
      a.values.push_back(addrs[i]);
    }
    std::string shown = hosts.empty() ? "" : hosts[i];
    if (shown.empty() && !addrs.empty()) shown = addrs[i];
    a.name = "host \"" + shown + "\"";
    if (!ports.empty()) {
      a.keywords.push_back("port");
      a.values.push_back(ports.size() == 1 ? ports[0] : ports[i]);
      a.name += ", port " + a.values.back();
    }
  }
  return attempts;
}

// Opens a connection, trying libpq's hosts in turn, each within timeout_ms (and never past the
// stop deadline). Null on failure, with libpq's message for each host (or the timeout) in
// *error.
//
// libpq's asynchronous connect has no time limit per host: a host that takes the connection
// but never answers would hold the attempt to the end, and the next host would never be tried.
// So with several hosts each is tried on its own, with its own deadline; with one, libpq gets
// the string as it is.
PGconn* connectWithin(const std::string& conninfo, int64_t timeout_ms, std::string* error) {
  bool hung = false;
  std::vector<HostAttempt> attempts = hostAttempts(conninfo);
  if (attempts.empty())
    return finishConnect(PQconnectStart(conninfo.c_str()), deadlineAfter(timeout_ms), error, &hung);

  // prefer-standby, as libpq does it: a standby if any host is one, else any server (of those
  // that answered).
  std::vector<std::string> passes = {""};
  auto& keywords = attempts[0].keywords;
  const auto attrs = std::find(keywords.begin(), keywords.end(), "target_session_attrs");
  if (attrs != keywords.end() && attempts[0].values[attrs - keywords.begin()] == "prefer-standby")
    passes = {"standby", "any"};

  std::vector<bool> answered(attempts.size(), true);
  error->clear();
  for (const std::string& pass : passes) {
    for (size_t i = 0; i < attempts.size(); ++i) {
      if (!answered[i]) continue;
      const int64_t deadline = deadlineAfter(timeout_ms);
      HostAttempt& a = attempts[i];
      std::vector<const char*> k, v;
      for (size_t j = 0; j < a.keywords.size(); ++j) {
        k.push_back(a.keywords[j].c_str());
        v.push_back(!pass.empty() && a.keywords[j] == "target_session_attrs" ? pass.c_str()
                                                                             : a.values[j].c_str());
      }
      k.push_back(nullptr);
      v.push_back(nullptr);
      std::string why;
      hung = false;
      PGconn* c = finishConnect(PQconnectStartParams(k.data(), v.data(), 0), deadline, &why, &hung);
      if (c != nullptr) return c;
      if (hung) {
        answered[i] = false;
        why = a.name + ": " + why;
      }
      *error += why;
    }
  }
  return nullptr;
}

// Connections a thread holds through leases, with how many leases each.
struct Held {
  pgConnectionPool* pool;
  size_t index;
  int depth;
};
thread_local std::vector<Held> held_connections;
thread_local int no_probe_scopes = 0;

}  // namespace

PgErrorKind classifySqlstate(const std::string& s) {
  if (s.size() != 5) return PgErrorKind::kData;
  const std::string cls = s.substr(0, 2);
  if (cls == "08") return PgErrorKind::kLost;
  if (cls == "53" || cls == "40") return PgErrorKind::kTransient;
  if (s == "25006" || s == "57P01" || s == "57P02" || s == "57P03" || s == "57014" || s == "55P03")
    return PgErrorKind::kTransient;
  return PgErrorKind::kData;
}

PoolStats::PoolStats()
    : request_seconds(
          {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}) {
  for (auto& e : errors) e.store(0, std::memory_order_relaxed);
}

size_t PoolStats::classIndex(const std::string& sqlstate, bool timed_out) {
  if (sqlstate.size() < 2) return timed_out ? kClassCount - 2 : kClassCount - 1;
  for (size_t i = 0; i < kClassCount - 3; ++i)
    if (sqlstate.compare(0, 2, kClasses[i]) == 0) return i;
  return kClassCount - 3;
}

struct pgSafeThread::Request {
  Send send;
  const std::string& text;           // SQL, or the statement name for kPrepared and kPrepare
  const std::string* sql = nullptr;  // kPrepare: the statement's SQL
  int nparams = 0;
  const std::vector<std::string>* params = nullptr;
  const char* prefix;
  bool result_error;  // the error text is the result's rather than the connection's
};

pgSafeThread::pgSafeThread(std::string connection_string, int timeout_seconds, PoolStats* stats)
    : conn(nullptr),
      connectionString(std::move(connection_string)),
      timeout_ms(std::max(1, timeout_seconds) * 1000),
      cancelling(std::make_shared<std::atomic<bool>>(false)),
      stats(stats) {
  std::string error;
  conn = connectWithin(connectionString, timeout_ms, &error);
  if (conn == nullptr) throw PostgresqlException(error + "\n");
  if (stats != nullptr) stats->last_answer_ms.store(monotonicMs(), std::memory_order_relaxed);
  pthread_mutex_init(&mutex, nullptr);
}

pgSafeThread::~pgSafeThread() {
  if (conn != nullptr) PQfinish(conn);
  pthread_mutex_destroy(&mutex);
}

void pgSafeThread::breakLocked(const std::string& why) {
  if (conn != nullptr) PQfinish(conn);
  conn = nullptr;
  broken = true;
  broken_reason = why;
}

void pgSafeThread::cancelLocked() {
  if (conn == nullptr || cancelling->exchange(true)) return;
  PGcancel* cancel = PQgetCancel(conn);
  if (cancel == nullptr) {
    cancelling->store(false);
    return;
  }
  std::shared_ptr<std::atomic<bool>> flag = cancelling;
  try {
    std::thread([cancel, flag] {
      char error[256];
      PQcancel(cancel, error, sizeof error);
      PQfreeCancel(cancel);
      flag->store(false);
    }).detach();
  } catch (const std::exception&) {
    PQfreeCancel(cancel);
    flag->store(false);
  }
}

PGresult* pgSafeThread::run(const Request& request) {
  ScopedLock lock(&mutex);
  return runLocked(request);
}

PGresult* pgSafeThread::runLocked(const Request& rq) {
  const std::string prefix = rq.prefix;
  const int64_t started_ms = monotonicMs();
  // The time of a request that was sent, and the class of its failure, go to the pool's stats.
  auto count = [&](const std::string& sqlstate, bool failed, bool timed_out) {
    if (stats == nullptr) return;
    stats->request_seconds.observe(static_cast<double>(monotonicMs() - started_ms) / 1000.0);
    if (failed)
      stats->errors[PoolStats::classIndex(sqlstate, timed_out)].fetch_add(
          1, std::memory_order_relaxed);
  };
  // Once sent, a request whose answer is lost may have run.
  bool sent_it = false;
  auto lostError = [&](const std::string& why, bool timed_out = false) {
    if (timed_out)
      count("", true, true);
    else if (stats != nullptr)
      stats->errors[PoolStats::classIndex("", false)].fetch_add(1, std::memory_order_relaxed);
    return PostgresqlException(prefix + why, PgErrorKind::kLost, "", timed_out, sent_it);
  };
  if (broken || conn == nullptr)
    throw lostError("connection to the database is broken: " + broken_reason);
  const int64_t deadline = deadlineAfter(timeout_ms);

  int sent = 0;
  std::vector<const char*> values;
  if (rq.params != nullptr) values = valuePointers(*rq.params);
  switch (rq.send) {
    case Send::kExec:
      sent = PQsendQuery(conn, rq.text.c_str());
      break;
    case Send::kParams:
      sent = PQsendQueryParams(conn, rq.text.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0);
      break;
    case Send::kPrepare:
      sent = PQsendPrepare(conn, rq.text.c_str(), rq.sql->c_str(), rq.nparams, nullptr);
      break;
    case Send::kPrepared:
      sent = PQsendQueryPrepared(conn, rq.text.c_str(), static_cast<int>(values.size()),
                                 values.data(), nullptr, nullptr, 0);
      break;
  }
  if (sent == 0) {
    const std::string error = PQerrorMessage(conn);
    if (PQstatus(conn) != CONNECTION_OK) {
      breakLocked(error);
      throw lostError(error);
    }
    throw PostgresqlException(prefix + error, PgErrorKind::kData, "");
  }
  sent_it = true;

  // Sends what libpq still holds, then reads every result; false when until passes first.
  // A failure of the connection leaves *failed set.
  bool failed = false;
  bool answered_ok = false;  // a result of the request succeeded before any error
  PgResult result;
  auto exchange = [&](int64_t until) {
    for (;;) {
      const int flushed = PQflush(conn);
      if (flushed < 0) {
        failed = true;
        return true;
      }
      if (flushed == 0) break;
      if (!waitSocket(PQsocket(conn), POLLIN | POLLOUT, until)) return false;
      if (PQconsumeInput(conn) == 0) {
        failed = true;
        return true;
      }
    }
    for (;;) {
      while (PQisBusy(conn) == 0) {
        PGresult* r = PQgetResult(conn);
        if (r == nullptr) return true;
        // As PQexec: the last result, unless an earlier one is an error.
        if (result == nullptr || succeeded(result.get())) {
          if (succeeded(r)) answered_ok = true;
          result.reset(r);
        } else {
          PQclear(r);
        }
      }
      if (!waitSocket(PQsocket(conn), POLLIN, until)) return false;
      if (PQconsumeInput(conn) == 0) {
        failed = true;
        return true;
      }
    }
  };

  bool timed_out = false;
  if (!exchange(deadline)) {
    timed_out = true;
    cancelLocked();
    if (!exchange(deadlineAfter(kCancelGraceMs))) {
      const std::string why =
          "no answer from the database within " + std::to_string(timeout_ms / 1000) + " s\n";
      breakLocked(why);
      throw lostError(why, true);
    }
  }
  if (failed) {
    const std::string error = PQerrorMessage(conn);
    // A session the server ended says so before it closes: nothing of the request ran.
    const char* said = result != nullptr && !succeeded(result.get())
                           ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE)
                           : nullptr;
    if (said != nullptr && std::string(said).compare(0, 4, "57P0") == 0 && !answered_ok)
      sent_it = false;
    breakLocked(error);
    throw lostError(error);
  }
  answered = true;
  if (stats != nullptr) stats->last_answer_ms.store(monotonicMs(), std::memory_order_relaxed);
  if (result != nullptr && succeeded(result.get())) {
    count("", false, false);
    return result.release();
  }

  const char* state =
      result != nullptr ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
  const std::string sqlstate = state != nullptr ? state : "";
  std::string error = rq.result_error && result != nullptr ? PQresultErrorMessage(result.get())
                                                           : PQerrorMessage(conn);
  if (timed_out)
    error =
        "no answer within " + std::to_string(timeout_ms / 1000) + " s, request cancelled: " + error;
  PgErrorKind kind = classifySqlstate(sqlstate);
  // The server answered with an error, so the request did not take effect, unless the answer
  // is only the cancel of a request that outlived its deadline (a COMMIT waiting for a standby
  // has committed locally), or the connection broke without the server saying why. A session
  // the server ended (shut down, terminated) ran nothing of a request it had not answered yet.
  bool may_have_run = timed_out;
  if (PQstatus(conn) != CONNECTION_OK) {
    kind = PgErrorKind::kLost;
    breakLocked(error);
    const bool ended_by_server = sqlstate.compare(0, 4, "57P0") == 0 && !answered_ok;
    if (!ended_by_server) may_have_run = true;
  } else if (sqlstate == "25006") {
    // A read-only session (a standby, or a database switched to read-only) stays so: the next
    // request opens a new one, which may reach the server that now takes writes.
    breakLocked(error);
  }
  count(kind == PgErrorKind::kLost && sqlstate.empty() ? "" : sqlstate, true, false);
  throw PostgresqlException(prefix + error, kind, sqlstate, timed_out, may_have_run);
}

PGresult* pgSafeThread::executeRequest(std::string sql) {
  return run({Send::kExec, sql, nullptr, 0, nullptr, "execute failed:  ", false});
}

PGresult* pgSafeThread::executeParamRequest(std::string sql,
                                            const std::vector<std::string>& params) {
  return run({Send::kParams, sql, nullptr, 0, &params, "Execute failed:  ", true});
}

void pgSafeThread::prepareRequest(std::string name, std::string sql, int nparams) {
  PgResult(run({Send::kPrepare, name, &sql, nparams, nullptr, "prepare failed:  ", false}));
}

void pgSafeThread::prepareRequest(std::string name, std::string sql) {
  prepareRequest(std::move(name), std::move(sql), 0);
}

PGresult* pgSafeThread::executePrepareRequest(std::string name,
                                              const std::vector<std::string>& params) {
  return run({Send::kPrepared, name, nullptr, 0, &params, "Exec prepareRequest failed:  ", true});
}

PGresult* pgSafeThread::executePrepareRequest(std::string name) {
  return executePrepareRequest(std::move(name), {});
}

std::string pgSafeThread::getClientEncoding() {
  ScopedLock lock(&mutex);
  if (conn == nullptr) return "";
  return pg_encoding_to_char(PQclientEncoding(conn));
}

int pgSafeThread::backendPid() {
  ScopedLock lock(&mutex);
  return conn != nullptr ? PQbackendPID(conn) : 0;
}

bool pgSafeThread::connected() {
  ScopedLock lock(&mutex);
  return !broken && conn != nullptr;
}

bool pgSafeThread::answeredSinceMark() {
  ScopedLock lock(&mutex);
  return answered;
}

void pgSafeThread::markAnswered(bool value) {
  ScopedLock lock(&mutex);
  answered = value;
}

bool pgSafeThread::reconnect(const std::vector<PreparedStatement>& statements) {
  std::string lost_text, failure_text;
  bool recovered = false;
  {
    ScopedLock lock(&mutex);
    if (!broken && conn != nullptr) return true;  // another thread was faster
    const long now = monotonicMs();
    if (lost && now - last_attempt_ms < 1000) return false;
    if (!lost) {
      lost = true;
      lost_text = broken_reason;
    }
    last_attempt_ms = now;
    if (conn != nullptr) PQfinish(conn);
    conn = connectWithin(connectionString, timeout_ms, &failure_text);
    if (conn != nullptr) {
      broken = false;
      for (const auto& st : statements) {
        try {
          PgResult(runLocked(
              {Send::kPrepare, st.name, &st.sql, st.nparams, nullptr, "prepare failed:  ", false}));
        } catch (const PostgresqlException& e) {
          // Without its statements the connection is of no use: it stays broken.
          failure_text = std::string("prepare of ") + st.name + " failed: " + e.what();
          breakLocked(failure_text);
          break;
        }
      }
      recovered = !broken;
    } else {
      broken_reason = failure_text;
    }
    if (recovered) {
      lost = false;
      last_failure_log_ms = 0;
      broken_reason.clear();
      if (stats != nullptr) stats->reconnects.fetch_add(1, std::memory_order_relaxed);
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

pgConnectionPool::Lease::Lease(pgConnectionPool& pool) : pool_(pool) {
  for (Held& h : held_connections) {
    if (h.pool == &pool) {
      nested_ = true;
      index_ = h.index;
      conn_ = pool.connections[h.index];
      ++h.depth;
      return;
    }
  }
  index_ = pool.acquire(no_probe_scopes == 0);
  conn_ = pool.connections[index_];
  conn_->markAnswered(false);
  if (!conn_->connected() && !conn_->reconnect(pool.preparedStatements())) {
    pool.release(index_);
    throw PostgresqlException("the database connection could not be re-established",
                              PgErrorKind::kLost, "");
  }
  held_connections.push_back({&pool, index_, 1});
}

pgConnectionPool::Lease::~Lease() {
  for (auto it = held_connections.begin(); it != held_connections.end(); ++it) {
    if (it->pool != &pool_) continue;
    if (--it->depth == 0) {
      held_connections.erase(it);
      pool_.release(index_);
    }
    return;
  }
}

bool pgConnectionPool::Lease::reestablish() { return conn_->reconnect(pool_.preparedStatements()); }

template <typename Call>
PGresult* pgConnectionPool::run(Call call) {
  Lease lease(*this);
  try {
    return call(lease.connection());
  } catch (const PostgresqlException& e) {
    // Only a request that cannot have run is sent again: not one inside a held connection
    // (a transaction), not one that reached the server without an answer saying it did not run.
    if (lease.nested() || !e.connectionLost() || e.mayHaveRun() || !lease.reestablish()) throw;
  }
  return call(lease.connection());
}

pgConnectionPool::pgConnectionPool(std::string connection_string, int count, int timeout_seconds)
    : stats_(std::make_unique<PoolStats>()),
      connectionString(std::move(connection_string)),
      timeout_ms(std::max(1, timeout_seconds) * 1000),
      nextConnectionID(0) {
  // Every request needs a connection: a pool without one is refused here rather than failing
  // on its first request.
  if (count < 1)
    throw PostgresqlException("connection pool needs at least one connection, got " +
                              std::to_string(count));
  try {
    for (int k = 0; k < count; ++k)
      connections.push_back(new pgSafeThread(connectionString, timeout_seconds, stats_.get()));
  } catch (const PostgresqlException& e) {
    for (pgSafeThread* c : connections) delete c;
    connections.clear();
    throw PostgresqlException(e.what());
  }
  busy.assign(connections.size(), false);
  pthread_mutex_init(&poolMutex, nullptr);
  initMonotonicCond(&freed);
}

pgConnectionPool::~pgConnectionPool() {
  {
    ScopedLock lock(&poolMutex);
    for (pgSafeThread* c : connections) delete c;
    connections.clear();
  }
  pthread_cond_destroy(&freed);
  pthread_mutex_destroy(&poolMutex);
}

pgConnectionPool::NoProbe::NoProbe() { ++no_probe_scopes; }
pgConnectionPool::NoProbe::~NoProbe() { --no_probe_scopes; }

bool pgConnectionPool::probe() {
  try {
    PgResult(executeRequest(sql::kProbe));
    return true;
  } catch (const PostgresqlException&) {
    return false;
  }
}

size_t pgConnectionPool::acquire(bool may_probe) {
  const int64_t until = deadlineAfter(std::min<int64_t>(kLeaseWaitMs, timeout_ms));
  ScopedLock lock(&poolMutex);
  for (;;) {
    if (down && (probing || !may_probe))
      throw PostgresqlException("the database is not answering: " + down_reason, PgErrorKind::kLost,
                                "");
    const size_t n = connections.size();
    const size_t start = nextConnectionID < n ? nextConnectionID : 0;
    for (size_t k = 0; k < n; ++k) {
      const size_t i = (start + k) % n;
      if (busy[i]) continue;
      busy[i] = true;
      nextConnectionID = static_cast<uint32_t>(i + 1);
      if (down) {
        probing = true;  // this request finds out whether the database is back
        probe_index = i;
      }
      return i;
    }
    if (monotonicMs() >= until)
      throw PostgresqlException("no free database connection within " +
                                    std::to_string(std::min<int64_t>(kLeaseWaitMs, timeout_ms)) +
                                    " ms",
                                PgErrorKind::kTransient, "");
    timespec ts{static_cast<time_t>(until / 1000), static_cast<long>(until % 1000) * 1000000L};
    pthread_cond_timedwait(&freed, &poolMutex, &ts);
  }
}

void pgConnectionPool::release(size_t index) {
  pgSafeThread* c = connections[index];
  const bool broken = !c->connected();
  const bool answered = c->answeredSinceMark();
  ScopedLock lock(&poolMutex);
  busy[index] = false;
  if (probing && probe_index == index) probing = false;
  if (broken) {
    down = true;
    down_reason = "its last request failed";
  } else if (answered) {
    down = false;
  }
  pthread_cond_broadcast(&freed);
}

std::vector<PreparedStatement> pgConnectionPool::preparedStatements() {
  ScopedLock lock(&poolMutex);
  return prepared;
}

bool pgConnectionPool::answering() {
  ScopedLock lock(&poolMutex);
  return !down;
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
  for (size_t i = 0; i < connections.size(); ++i) {
    while (busy[i]) pthread_cond_wait(&freed, &poolMutex);
    try {
      connections[i]->prepareRequest(name, sql, nparams);
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
  return run([&](pgSafeThread& c) { return c.executeRequest(sql); });
}

PGresult* pgConnectionPool::executeParamRequest(std::string sql,
                                                const std::vector<std::string>& params) {
  return run([&](pgSafeThread& c) { return c.executeParamRequest(sql, params); });
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name,
                                                  const std::vector<std::string>& params) {
  return run([&](pgSafeThread& c) { return c.executePrepareRequest(name, params); });
}

PGresult* pgConnectionPool::executePrepareRequest(std::string name) {
  return run([&](pgSafeThread& c) { return c.executePrepareRequest(name); });
}

std::string pgConnectionPool::getClientEncoding() {
  Lease lease(*this);
  return lease->getClientEncoding();
}
