// Every statement the daemon runs must be accepted by the reference schema.

#include "db/statements.h"

#include <gtest/gtest.h>

#include <set>

#include "db/pg_handles.h"
#include "db/pool.h"
#include "tests/support/pg_test.h"

namespace {

class StatementsTest : public PgTest {};

// The catalogue's lists are what the configuration check prepares: with and without a daemon
// identifier, every text is accepted, and no two named statements share a name.
TEST_F(StatementsTest, EveryStatementOfTheCataloguePrepares) {
  for (int cluster : {0, 7}) {
    pgConnectionPool pool(conninfo(), 1);
    std::set<std::string> names;
    for (const auto& st : sql::everyNamedStatement(cluster)) {
      EXPECT_TRUE(names.insert(st.name).second) << st.name;
      EXPECT_NO_THROW(pool.prepareRequest(st.name, st.text, st.nparams < 0 ? 0 : st.nparams))
          << st.name << " (cluster " << cluster << "): " << st.text;
    }
    int n = 0;
    for (const auto& text : sql::everyPlainStatement(cluster)) {
      EXPECT_NO_THROW(pool.prepareRequest("plain" + std::to_string(n++), text))
          << text << " (cluster " << cluster << ")";
    }
    // Several daemons per identifier: the tables of sql/cluster.sql are in the reference schema.
    for (const auto& st : sql::everyClusterNamedStatement(cluster)) {
      EXPECT_TRUE(names.insert(st.name).second) << st.name;
      EXPECT_NO_THROW(pool.prepareRequest(st.name, st.text, st.nparams < 0 ? 0 : st.nparams))
          << st.name << " (cluster " << cluster << "): " << st.text;
    }
    for (const auto& text : sql::everyClusterPlainStatement(cluster)) {
      EXPECT_NO_THROW(pool.prepareRequest("plain" + std::to_string(n++), text))
          << text << " (cluster " << cluster << ")";
    }
  }
  EXPECT_EQ(std::string(sql::kBeginWithXid), std::string(sql::kBegin) + "; " + sql::kCurrentXactId);

  // A batch's begin names its member in its text: any name reads its own fence, whatever the
  // server's string settings; a name that is not a member reads NULL.
  const std::string node = "n'1\\x";
  exec(
      "INSERT INTO mavo_cluster_member VALUES (7, 'n''1\\x', now() + interval '1 min', now(), 41)");
  for (const char* conforming : {"on", "off"}) {
    exec(std::string("SET standard_conforming_strings = ") + conforming);
    for (const auto& [name, fence] :
         {std::pair<std::string, const char*>{node, "41"}, {"n1", ""}}) {
      PgResult r(exec(sql::cluster::batchBeginFenced(5, 7, name)));
      ASSERT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK) << PQresultErrorMessage(r.get());
      EXPECT_STREQ(PQgetvalue(r.get(), 0, 1), fence) << name << " " << conforming;
      exec("ROLLBACK");
    }
  }
}

// The column enumerations that the readers use name the columns the server returns, for every
// text of each query.
TEST_F(StatementsTest, ColumnEnumerationsMatchWhatTheServerReturns) {
  long dev = addDevice("d1", "10.1.2.3");
  long plug = addPlugin("/bin/true");
  addService("s1", plug, dev, 60000, "-H $IP", 2);
  struct Query {
    std::string text;
    const char* const* names;
    int count;
  } queries[] = {
      {sql::reloadServiceQuery(0), sql::kServiceColumnNames, sql::service_column::kCount},
      {sql::getNewServiceQuery(3), sql::kServiceColumnNames, sql::service_column::kCount},
      {sql::updateServiceQuery(0), sql::kServiceColumnNames, sql::service_column::kCount},
      {sql::kMaintenancePlanned, sql::kPlannedColumnNames, sql::planned_column::kCount},
      {sql::selectMaintenanceConfQuery(0), sql::kConfColumnNames, sql::conf_column::kCount},
      {sql::selectMaintenanceConfQuery(3), sql::kConfColumnNames, sql::conf_column::kCount},
  };
  for (const auto& q : queries) {
    PgResult r(exec(q.text));
    ASSERT_EQ(PQnfields(r.get()), q.count) << q.text;
    for (int c = 0; c < q.count; ++c) EXPECT_STREQ(PQfname(r.get(), c), q.names[c]) << q.text;
  }
  namespace col = sql::service_column;
  PgResult r(exec(sql::reloadServiceQuery(0)));
  ASSERT_EQ(PQntuples(r.get()), 1);
  EXPECT_STREQ(PQgetvalue(r.get(), 0, col::kDeviceIp), "10.1.2.3");
  EXPECT_STREQ(PQgetvalue(r.get(), 0, col::kIpVersion), "4");
  EXPECT_STREQ(PQgetvalue(r.get(), 0, col::kProgramPath), "");  // no alerting program
}

TEST_F(StatementsTest, DaemonIdentifierRestrictsServiceQueries) {
  long dev = addDevice();
  long plug = addPlugin("/bin/true");
  addService("mine", plug, dev, 60000, "", 0, 7);
  addService("other", plug, dev, 60000, "", 0, 3);
  EXPECT_EQ(rows(sql::reloadServiceQuery(7)), 1);
  EXPECT_EQ(rows(sql::reloadServiceQuery(0)), 2);
  EXPECT_EQ(rows(sql::reloadServiceQuery(-2)), 2);
}

}  // namespace
