// Connection pool against the real server: round robin, results, failures and their texts.

#include "db/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "db/conninfo.h"
#include "db/pg_handles.h"
#include "tests/support/cout_capture.h"
#include "tests/support/pg_test.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace {

class PoolTest : public PgTest {};

int backendOf(pgConnectionPool& pool) {
  PgResult r(pool.executeRequest("SELECT pg_backend_pid()"));
  return std::stoi(PQgetvalue(r.get(), 0, 0));
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

TEST_F(PoolTest, ThreeConnectionsAreUsedRoundRobin) {
  pgConnectionPool pool(conninfo(), 3);
  EXPECT_EQ(pool.getConnectionNumber(), 3);
  std::vector<int> seen;
  for (int i = 0; i < 8; ++i) seen.push_back(backendOf(pool));
  EXPECT_EQ(std::set<int>(seen.begin(), seen.end()).size(), 3u);
  for (int i = 3; i < 8; ++i) EXPECT_EQ(seen[i], seen[i - 3]) << "request " << i;
}

TEST_F(PoolTest, OneConnectionTakesEveryRequest) {
  pgConnectionPool pool(conninfo(), 1);
  EXPECT_EQ(pool.getConnectionNumber(), 1);
  int first = backendOf(pool);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(backendOf(pool), first);
  EXPECT_EQ(pool.getNextConnection(), pool.getNextConnection());
}

TEST_F(PoolTest, RowsAndCommandsSucceedAndResultsAreText) {
  pgConnectionPool pool(conninfo(), 2);
  PgResult rows(pool.executeRequest("SELECT error_id, error_name FROM mavo_errors ORDER BY 1"));
  EXPECT_EQ(PQresultStatus(rows.get()), PGRES_TUPLES_OK);
  EXPECT_EQ(PQntuples(rows.get()), 4);
  PgResult cmd(pool.executeRequest("UPDATE mavo_configuration SET config_value=3"));
  EXPECT_EQ(PQresultStatus(cmd.get()), PGRES_COMMAND_OK);
  PgResult p(pool.executeParamRequest("SELECT $1::int + 1, $2", {"41", "it's \"quoted\"\n"}));
  EXPECT_STREQ(PQgetvalue(p.get(), 0, 0), "42");
  EXPECT_STREQ(PQgetvalue(p.get(), 0, 1), "it's \"quoted\"\n");
  EXPECT_EQ(pool.getClientEncoding(), "UTF8");
}

TEST_F(PoolTest, FailuresCarryTheirPrefixes) {
  pgConnectionPool pool(conninfo(), 1);
  struct Case {
    std::function<void()> call;
    std::string prefix;
  } cases[] = {
      {[&] { PgResult(pool.executeRequest("")); }, "execute failed:  "},
      {[&] { PgResult(pool.executeRequest("SELEC 1")); }, "execute failed:  ERROR:  syntax"},
      {[&] { PgResult(pool.executeParamRequest("SELECT $1::int", {"x"})); },
       "Execute failed:  ERROR:  invalid input syntax"},
      {[&] { pool.prepareRequest("bad", "SELECT * FROM no_such_table"); },
       "prepare failed:  ERROR:  relation \"no_such_table\" does not exist"},
      {[&] { PgResult(pool.executePrepareRequest("never_prepared")); },
       "Exec prepareRequest failed:  ERROR:  prepared statement \"never_prepared\""},
  };
  for (auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no exception for " << c.prefix;
    } catch (const PostgresqlException& e) {
      EXPECT_TRUE(startsWith(e.what(), c.prefix)) << e.what();
    }
  }
  // The connection is still usable after the failures.
  EXPECT_GT(backendOf(pool), 0);
}

TEST_F(PoolTest, PreparedStatementRunsOnEveryConnection) {
  pgConnectionPool pool(conninfo(), 3);
  pool.prepareRequest("add", "SELECT $1::int + $2::int", 2);
  pool.prepareRequest("count", "SELECT count(*) FROM mavo_errors");
  for (int i = 0; i < 3; ++i) {
    PgResult r(pool.executePrepareRequest("add", {"2", "3"}));
    EXPECT_STREQ(PQgetvalue(r.get(), 0, 0), "5");
    PgResult c(pool.executePrepareRequest("count"));
    EXPECT_STREQ(PQgetvalue(c.get(), 0, 0), "4");
  }
  EXPECT_THROW(pool.prepareRequest("add", "SELECT 1"), PostgresqlException);
}

TEST_F(PoolTest, FailingPrepareOnSecondConnectionStopsTheLoop) {
  pgConnectionPool pool(conninfo(), 3);
  // Occupy the name on the second connection only.
  pool.getNextConnection();
  pgSafeThread* second = pool.getNextConnection();
  second->prepareRequest("s", "SELECT 2");
  pool.getNextConnection();  // back to the first one for the next request
  try {
    pool.prepareRequest("s", "SELECT 1");
    FAIL() << "no exception";
  } catch (const PostgresqlException& e) {
    EXPECT_TRUE(startsWith(e.what(), "prepare failed:  ")) << e.what();
  }
  // Connection 0 has the new statement, 1 the old one, 2 none.
  std::vector<std::string> got;
  for (int i = 0; i < 3; ++i) {
    try {
      PgResult r(pool.executePrepareRequest("s"));
      got.push_back(PQgetvalue(r.get(), 0, 0));
    } catch (const PostgresqlException&) {
      got.push_back("unprepared");
    }
  }
  EXPECT_EQ(got, (std::vector<std::string>{"1", "2", "unprepared"}));
}

TEST_F(PoolTest, WrongPasswordGivesLibpqMessageAndNewline) {
  std::string bad = baseConninfo() + " dbname=" + dbname() + " password=wrong";
  try {
    pgConnectionPool pool(bad, 2);
    FAIL() << "connected with a wrong password";
  } catch (const PostgresqlException& e) {
    std::string text = e.what();
    EXPECT_NE(text.find("password authentication failed"), std::string::npos) << text;
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");  // libpq's own newline, then ours
  }
}

TEST_F(PoolTest, PoolOfNoConnectionIsRefused) {
  EXPECT_THROW(pgConnectionPool(conninfo(), 0), PostgresqlException);
  EXPECT_THROW(pgConnectionPool(conninfo(), -3), PostgresqlException);
}

TEST_F(PoolTest, FailedConstructionClosesConnectionsAlreadyOpened) {
  // Allow exactly two connections for a role, then ask for three.
  exec("CREATE ROLE limited LOGIN PASSWORD 'pw' CONNECTION LIMIT 2");
  std::string info = "host=" + conninfoValue("host") + " port=" + conninfoValue("port") +
                     " dbname=" + dbname() + " user=limited password=pw";
  EXPECT_THROW(pgConnectionPool(info, 3), PostgresqlException);
  auto open = [&] {
    return std::stoi(scalar("SELECT count(*) FROM pg_stat_activity WHERE usename='limited'"));
  };
  EXPECT_TRUE(waitFor([&] { return open() == 0; }, 5000)) << open() << " still open";
  pgConnectionPool ok(info, 2);  // both slots are free again
  EXPECT_EQ(ok.getConnectionNumber(), 2);
}

TEST_F(PoolTest, BrokenConnectionIsReestablishedWithItsStatements) {
  pgConnectionPool pool(conninfo(), 2);
  pool.prepareRequest("add", "SELECT $1::int + $2::int", 2);
  pool.prepareRequest("inferred", "SELECT $1::text || 'x'");
  CoutCapture cap;
  for (int round = 0; round < 2; ++round) {
    exec(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() "
        "AND pid <> pg_backend_pid()");
    ASSERT_TRUE(waitFor(
        [&] {
          return rows(
                     "SELECT 1 FROM pg_stat_activity WHERE datname = "
                     "current_database() AND pid <> pg_backend_pid()") == 0;
        },
        5000));
    for (int i = 0; i < 4; ++i) {
      PgResult r(pool.executePrepareRequest("add", {"2", "3"}));
      EXPECT_STREQ(PQgetvalue(r.get(), 0, 0), "5");
      PgResult t(pool.executePrepareRequest("inferred", {"a"}));
      EXPECT_STREQ(PQgetvalue(t.get(), 0, 0), "ax");
    }
  }
  // Each connection lost twice and recovered twice: one line each time, not one per request.
  EXPECT_EQ(count(cap.text(), "#ERR#database connection lost, reconnecting: "), 4u) << cap.text();
  EXPECT_EQ(count(cap.text(), "#INFO#database connection re-established"), 4u) << cap.text();

  // A statement that cannot be prepared again (its table renamed meanwhile) leaves the
  // connection broken, to be re-established again, rather than connected without it.
  exec("CREATE TABLE pool_probe (v int)");
  pool.prepareRequest("probe", "SELECT count(*) FROM pool_probe");
  exec("ALTER TABLE pool_probe RENAME TO pool_probe_away");
  exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() "
      "AND pid <> pg_backend_pid()");
  for (int i = 0; i < 4; ++i) {
    try {
      PgResult r(pool.executePrepareRequest("add", {"2", "3"}));
      ADD_FAILURE() << "answered without its statements";
    } catch (const PostgresqlException& e) {
      EXPECT_TRUE(e.retryable()) << e.what();
    }
  }
  exec("ALTER TABLE pool_probe_away RENAME TO pool_probe");
  EXPECT_TRUE(waitFor(
      [&] {
        try {
          PgResult r(pool.executePrepareRequest("probe"));
          PgResult a(pool.executePrepareRequest("add", {"2", "3"}));
          PgResult b(pool.executePrepareRequest("probe"));
          return std::string(PQgetvalue(a.get(), 0, 0)) == "5";
        } catch (const PostgresqlException&) {
          return false;
        }
      },
      15000))
      << cap.text();
}

// The connection string quotes every value: a password with blanks, quotes and backslashes logs
// in, and the options come last, so that they can override what the daemon sets.
TEST_F(PoolTest, AnyPasswordLogsInAndOptionsComeLast) {
  const std::string role = "odd_" + std::to_string(getpid());
  const std::string password = "a b'c\\d=e";
  exec("CREATE ROLE " + role + " LOGIN PASSWORD " + quote(password));
  exec("GRANT CONNECT ON DATABASE " + dbname() + " TO " + role);
  auto line = [&](const std::string& options) {
    return buildConnectLine(conninfoValue("host"), conninfoValue("port"), dbname(), role, password,
                            options, 5);
  };
  {
    pgConnectionPool pool(line(""), 1);
    PgResult r(pool.executeRequest("SELECT current_user, current_setting('application_name')"));
    EXPECT_EQ(PQgetvalue(r.get(), 0, 0), role);
    EXPECT_STREQ(PQgetvalue(r.get(), 0, 1), "mavoDaemon");
  }
  {
    pgConnectionPool pool(line("application_name='other name' connect_timeout=3"), 1);
    PgResult r(pool.executeRequest("SELECT current_setting('application_name')"));
    EXPECT_STREQ(PQgetvalue(r.get(), 0, 0), "other name");
  }
  EXPECT_THROW(line("sslmode"), std::invalid_argument);
  exec("DROP OWNED BY " + role);
  exec("DROP ROLE " + role);
}

TEST_F(PoolTest, StatementErrorsAreNotMistakenForALostConnection) {
  pgConnectionPool pool(conninfo(), 1);
  try {
    PgResult(pool.executeRequest("SELECT 1/0"));
    FAIL() << "no exception";
  } catch (const PostgresqlException& e) {
    EXPECT_FALSE(e.connectionLost());
  }
}

// The first of two hosts takes the connection and then never answers (a hung old primary, a
// stuck proxy): each host has its own deadline, so the second one is tried in time.
TEST_F(PoolTest, HostThatNeverAnswersGivesWayToTheNextOne) {
  TcpProxy proxy(std::stoi(conninfoValue("port")));
  proxy.hang();
  const std::string info =
      "host=127.0.0.1,127.0.0.1 port=" + std::to_string(proxy.port()) + "," +
      conninfoValue("port") + " dbname=" + dbname() + " user=" + conninfoValue("user") +
      " password=" + conninfoValue("password") + " target_session_attrs=read-write";
  std::atomic<bool> done{false};
  std::string outcome;
  std::thread t([&] {
    try {
      pgConnectionPool pool(info, 1, 2);
      PgResult r(pool.executeRequest("SELECT 1"));
      outcome = PQgetvalue(r.get(), 0, 0);
    } catch (const PostgresqlException& e) {
      outcome = e.what();
    }
    done = true;
  });
  const bool finished = waitFor([&] { return done.load(); }, 60000);
  proxy.resume();  // a connection still waiting on it ends
  t.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(outcome, "1");  // the hung proxy passes nothing: the answer came from the server
}

// The connection breaks once the server has run a request, before its answer comes back: the
// request is not sent again on the re-established connection, where it would run twice.
TEST_F(PoolTest, RequestThatMayHaveRunIsNotSentAgain) {
  exec("CREATE TABLE runs (v int)");
  TcpProxy proxy(std::stoi(conninfoValue("port")));
  pgConnectionPool pool("host=127.0.0.1 port=" + std::to_string(proxy.port()) +
                            " dbname=" + dbname() + " user=" + conninfoValue("user") +
                            " password=" + conninfoValue("password"),
                        1, 2);
  CoutCapture quiet;
  proxy.cutAnswerAfter({"INSERT INTO runs"});
  try {
    PgResult(pool.executeRequest("INSERT INTO runs VALUES (1)"));
    ADD_FAILURE() << "the answer was cut";
  } catch (const PostgresqlException& e) {
    EXPECT_TRUE(e.connectionLost() && e.mayHaveRun()) << e.what();
  }
  EXPECT_TRUE(proxy.triggered());
  EXPECT_EQ(rows("SELECT 1 FROM runs"), 1);
  PgResult again(pool.executeRequest("SELECT count(*) FROM runs"));  // re-established
  EXPECT_STREQ(PQgetvalue(again.get(), 0, 0), "1");
}

TEST_F(PoolTest, ConcurrentRequestsAllSucceed) {
  pgConnectionPool pool(conninfo(), 3);
  pool.prepareRequest("echo", "SELECT $1::text", 1);
  std::vector<std::thread> ts;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 6; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        std::string v = std::to_string(t * 1000 + i);
        PgResult r(pool.executePrepareRequest("echo", {v}));
        if (v != PQgetvalue(r.get(), 0, 0)) ++wrong;
      }
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
