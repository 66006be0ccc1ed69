// Every statement the daemon runs must be accepted by the reference schema.

#include "db/statements.h"

#include <gtest/gtest.h>

#include "db/pg_handles.h"
#include "db/pool.h"
#include "tests/support/pg_test.h"

namespace {

class StatementsTest : public PgTest {};

TEST_F(StatementsTest, EveryNamedStatementPrepares) {
  for (int cluster : {0, 7}) {
    pgConnectionPool pool(conninfo(), 1);
    std::vector<sql::NamedStatement> all = sql::coreStatements();
    for (const auto& st : sql::reloadStatements(cluster)) all.push_back(st);
    all.push_back({"reloadService", sql::reloadServiceQuery(cluster), -1});
    all.push_back({"select_adv_config", sql::kSelectAdvConfig, 1});
    for (const auto& st : all) {
      EXPECT_NO_THROW(st.nparams < 0 ? pool.prepareRequest(st.name, st.text)
                                     : pool.prepareRequest(st.name, st.text, st.nparams))
          << st.name << " (cluster " << cluster << "): " << st.text;
    }
  }
}

TEST_F(StatementsTest, EveryPlainStatementPrepares) {
  pgConnectionPool pool(conninfo(), 1);
  const std::string plain[] = {sql::kSelectDefaultErrors,
                               sql::kSelectDeletedPluginServices,
                               sql::kDeleteServiceById,
                               sql::kDeleteDeletedPlugins,
                               sql::kResetSysReload,
                               sql::deleteMarkedServicesQuery(0),
                               sql::deleteMarkedServicesQuery(3),
                               sql::selectMaintenanceConfQuery(0),
                               sql::selectMaintenanceConfQuery(3),
                               sql::kInsertMaintenancePlanned};
  int n = 0;
  for (const auto& text : plain) {
    EXPECT_NO_THROW(pool.prepareRequest("plain" + std::to_string(n++), text)) << text;
  }
}

TEST_F(StatementsTest, ServiceQueryReturnsThirtyOneColumnsInOrder) {
  long dev = addDevice("d1", "10.1.2.3");
  long plug = addPlugin("/bin/true");
  addService("s1", plug, dev, 60000, "-H $IP", 2);
  PgResult r(exec(sql::reloadServiceQuery(0)));
  ASSERT_EQ(PQntuples(r.get()), 1);
  ASSERT_EQ(PQnfields(r.get()), 31);
  EXPECT_STREQ(PQfname(r.get(), 0), "plugin_id");
  EXPECT_STREQ(PQfname(r.get(), 9), "service_id");
  EXPECT_STREQ(PQfname(r.get(), 27), "service_previous_state");
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 6), "10.1.2.3");
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 29), "4");
  EXPECT_STREQ(PQgetvalue(r.get(), 0, 10), "");  // no alerting program: outer join
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
