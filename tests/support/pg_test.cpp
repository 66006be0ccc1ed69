// PgTest fixture: one database per test, copied from schema_template and dropped afterwards.

#include "tests/support/pg_test.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string baseConninfo() {
  const char* dir = getenv("TEST_PG_DIR");
  if (dir == nullptr) throw std::runtime_error("TEST_PG_DIR is not set");
  std::ifstream in(std::string(dir) + "/conninfo");
  std::string line;
  if (!std::getline(in, line))
    throw std::runtime_error(std::string("no conninfo in ") + dir + " (is the pg fixture up?)");
  return line;
}

std::string conninfoValue(const std::string& key) {
  std::istringstream in(baseConninfo());
  std::string item;
  while (in >> item) {
    if (item.compare(0, key.size() + 1, key + "=") == 0) return item.substr(key.size() + 1);
  }
  return "";
}

namespace {
PGresult* run(PGconn* conn, const std::string& sql) {
  PGresult* r = PQexec(conn, sql.c_str());
  ExecStatusType st = PQresultStatus(r);
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
    std::string msg = "SQL failed: " + sql + ": " + PQresultErrorMessage(r);
    PQclear(r);
    throw std::runtime_error(msg);
  }
  return r;
}

std::atomic<int> db_counter{0};
}  // namespace

void PgTest::SetUp() {
  base_ = baseConninfo();
  dbname_ = "t_" + std::to_string(getpid()) + "_" + std::to_string(db_counter++);
  PgConn admin(PQconnectdb((base_ + " dbname=postgres").c_str()));
  ASSERT_EQ(PQstatus(admin.get()), CONNECTION_OK) << PQerrorMessage(admin.get());
  PgResult(run(admin.get(), "CREATE DATABASE " + dbname_ + " TEMPLATE schema_template"));
  conn_.reset(PQconnectdb(conninfo().c_str()));
  ASSERT_EQ(PQstatus(conn_.get()), CONNECTION_OK) << PQerrorMessage(conn_.get());
}

void PgTest::TearDown() {
  conn_.reset();
  if (dbname_.empty()) return;
  PgConn admin(PQconnectdb((base_ + " dbname=postgres").c_str()));
  if (PQstatus(admin.get()) == CONNECTION_OK) {
    PQclear(PQexec(admin.get(), ("DROP DATABASE IF EXISTS " + dbname_ + " WITH (FORCE)").c_str()));
  }
}

PgResult PgTest::exec(const std::string& sql) { return PgResult(run(conn_.get(), sql)); }

std::string PgTest::scalar(const std::string& sql) {
  PgResult r = exec(sql);
  if (PQntuples(r.get()) == 0) return "";
  return PQgetvalue(r.get(), 0, 0);
}

int PgTest::rows(const std::string& sql) { return PQntuples(exec(sql).get()); }

std::string PgTest::stored(long service_id, const std::string& expr) {
  return scalar("SELECT " + expr +
                " FROM mavo_services WHERE service_id=" + std::to_string(service_id));
}

std::string PgTest::quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

long PgTest::addDevice(const std::string& name, const std::string& ip,
                       const std::string& extra_columns, const std::string& extra_values) {
  std::string cols = "device_name, device_ip_address";
  std::string vals = quote(name) + ", " + quote(ip);
  if (!extra_columns.empty()) {
    cols += ", " + extra_columns;
    vals += ", " + extra_values;
  }
  return std::stol(
      scalar("INSERT INTO mavo_device (" + cols + ") VALUES (" + vals + ") RETURNING device_id"));
}

long PgTest::addPlugin(const std::string& path, const std::string& type) {
  return std::stol(scalar("INSERT INTO mavo_plugins (plugin_path, plugin_type) VALUES (" +
                          quote(path) + ", " + quote(type) + ") RETURNING plugin_id"));
}

long PgTest::addService(const std::string& name, long plugin_id, long device_id, int interval_ms,
                        const std::string& parameter, int previous_state, int srv_id) {
  return std::stol(scalar(
      "INSERT INTO mavo_services (service_name, service_plugin_id, service_device_id, "
      "service_interval_time, service_parameter, service_previous_state, service_srv_id) "
      "VALUES (" +
      quote(name) + ", " + std::to_string(plugin_id) + ", " + std::to_string(device_id) + ", " +
      std::to_string(interval_ms) + ", " + quote(parameter) + ", " +
      std::to_string(previous_state) + ", " + std::to_string(srv_id) + ") RETURNING service_id"));
}

long PgTest::addProgram(const std::string& path) {
  return std::stol(scalar("INSERT INTO mavo_program (program_path) VALUES (" + quote(path) +
                          ") RETURNING program_id"));
}

void PgTest::addResponse(long service_id, long program_id, const std::string& parameter, bool ok,
                         bool warning, bool critical, bool unknown) {
  auto b = [](bool v) { return v ? std::string("true") : std::string("false"); };
  exec(
      "INSERT INTO mavo_service_response_program (response_service_id, response_program_id, "
      "response_ok, response_warning, response_critical, response_unknown, response_parameter) "
      "VALUES (" +
      std::to_string(service_id) + ", " + std::to_string(program_id) + ", " + b(ok) + ", " +
      b(warning) + ", " + b(critical) + ", " + b(unknown) + ", " + quote(parameter) + ")");
}
