#pragma once
// PgTest: a fresh database per test, created from the schema_template of the throwaway cluster
// that the pg fixture started (its connection string is in $TEST_PG_DIR/conninfo).

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "db/pg_handles.h"

// Connection string of the cluster without dbname, read from $TEST_PG_DIR/conninfo.
std::string baseConninfo();
// One keyword of baseConninfo() (host, port, user, password).
std::string conninfoValue(const std::string& key);

class PgTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Connection string of this test's database.
  std::string conninfo() const { return base_ + " dbname=" + dbname_; }
  const std::string& dbname() const { return dbname_; }

  // Runs SQL on the test's own connection; fails the test (throws) when it fails.
  PgResult exec(const std::string& sql);
  // First column of the first row ("" when there is no row).
  std::string scalar(const std::string& sql);
  // Number of rows returned by sql.
  int rows(const std::string& sql);
  // The value of expr (a column, or an expression of the columns) for one service.
  std::string stored(long service_id, const std::string& expr);

  // Fixture rows. Each returns the generated id.
  long addDevice(const std::string& name = "dev", const std::string& ip = "127.0.0.1",
                 const std::string& extra_columns = "", const std::string& extra_values = "");
  long addPlugin(const std::string& path, const std::string& type = "default");
  long addService(const std::string& name, long plugin_id, long device_id, int interval_ms,
                  const std::string& parameter = "", int previous_state = 0, int srv_id = 0);
  long addProgram(const std::string& path);
  // Links a service to an alerting program with the given flags.
  void addResponse(long service_id, long program_id, const std::string& parameter, bool ok,
                   bool warning, bool critical, bool unknown);

  static std::string quote(const std::string& text);  // SQL string literal

 private:
  std::string base_;
  std::string dbname_;
  PgConn conn_;
};
