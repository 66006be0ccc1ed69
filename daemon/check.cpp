// The configuration check (mavoDaemon --check), run by the main thread alone, instead of
// start-up. It reads the keys with start-up's own functions, prepares the statement
// catalogue's lists and builds the services with the loader's own code, so that what it finds
// is what start-up and the loader would find. It writes only to standard output, one line per
// finding: "ok: ..." or "error: ...", then a last line with the verdict.

#include "daemon/check.h"

#include <stdio.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/ini_config.h"
#include "core/log.h"
#include "daemon/configuration.h"
#include "daemon/metrics.h"
#include "daemon/startup.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "db/transaction.h"
#include "loader/loader.h"

namespace {

// Writes the findings and counts the problems.
class Report {
 public:
  void ok(const std::string& text) { line("ok: " + text); }
  // text may already start with "error: " (the configuration's messages do).
  void problem(const std::string& text) {
    ++problems_;
    line(text.rfind("error: ", 0) == 0 ? text : "error: " + text);
  }
  void note(const std::string& text) { line(text); }
  int problems() const { return problems_; }

 private:
  static void line(const std::string& text) {
    const std::string out = text + "\n";
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
  }
  int problems_ = 0;
};

// The first line of a message of the server or of libpq: what failed (the lines after it show
// where in the statement, or give hints).
std::string firstLine(const std::string& text) {
  return escapeForLog(text.substr(0, text.find('\n')));
}

// The start of a text, for naming a statement by it.
std::string shortText(const std::string& text) {
  const size_t kMax = 60;
  return text.size() <= kMax ? text : text.substr(0, kMax) + "...";
}

// The configuration's keys, each bad one reported. False when the database cannot be reached
// with them (its keys are wrong), so that the checks below cannot run.
bool checkConfiguration(iniConfig& cfg, const std::string& path, DaemonKeys* keys, Report& report) {
  refuseCrlfFile(cfg, path);  // throws: every key would look missing
  const int before = report.problems();
  auto bad = [&](const std::string& message) { report.problem(message); };
  readLogKeys(cfg, keys);
  readMavoKeys(cfg, keys, bad);
  if (!keys->metrics_listen.empty()) {
    // Whether the address is free is not tried: the daemon being checked may hold it.
    try {
      checkListenAddress(keys->metrics_listen);
    } catch (const std::invalid_argument& e) {
      report.problem(metricsListenError(e.what()));
    }
  }
  const int before_database = report.problems();
  readDatabaseKeys(cfg, keys, bad);
  if (report.problems() == before)
    report.ok("configuration " + path + ": every key is valid (daemon identifier " +
              std::to_string(keys->id_cluster) + ")");
  return report.problems() == before_database;
}

// Prepares each text in the transaction, each inside a savepoint so that one failure leaves
// the others to be tried. Returns the names of those that failed.
std::set<std::string> checkStatements(PgTransaction& tx, int id_cluster, Report& report) {
  std::set<std::string> failed;
  int named = 0, plain = 0;
  auto prepare = [&](const std::string& name, const std::string& shown, const std::string& text,
                     int nparams) {
    PgResult(tx.connection().executeRequest(sql::kSavepoint));
    try {
      tx.connection().prepareRequest(name, text, nparams < 0 ? 0 : nparams);
      return true;
    } catch (const PostgresqlException& e) {
      if (e.connectionLost()) throw;
      PgResult(tx.connection().executeRequest(sql::kRollbackToSavepoint));
      report.problem("statement " + shown + ": " + firstLine(e.what()));
      failed.insert(name);
      return false;
    }
  };
  for (const sql::NamedStatement& st : sql::everyNamedStatement(id_cluster))
    named += prepare(st.name, "\"" + st.name + "\"", st.text, st.nparams);
  int n = 0;
  for (const std::string& text : sql::everyPlainStatement(id_cluster))
    plain += prepare("check_plain_" + std::to_string(n++), "\"" + shortText(text) + "\"", text, 0);
  if (failed.empty())
    report.ok("statements: the " + std::to_string(named) + " named statements and " +
              std::to_string(plain) + " other texts the daemon runs prepare");
  return failed;
}

// With several daemons per identifier (cluster_lease): the tables of sql/cluster.sql, and the
// statements on them.
void checkClusterObjects(PgTransaction& tx, int id_cluster, Report& report) {
  PgResult missing(tx.connection().executeRequest(sql::cluster::kMissingTables));
  const std::string tables = PQntuples(missing.get()) > 0 ? PQgetvalue(missing.get(), 0, 0) : "";
  if (!tables.empty()) {
    report.problem(
        "configuration key cluster_lease of section [MAVO] needs the tables of "
        "sql/cluster.sql in the database (missing: " +
        tables + "); apply sql/cluster.sql first");
    return;
  }
  const int before = report.problems();
  int n = 0;
  auto prepare = [&](const std::string& name, const std::string& text, int nparams) {
    PgResult(tx.connection().executeRequest(sql::kSavepoint));
    try {
      tx.connection().prepareRequest(name, text, nparams < 0 ? 0 : nparams);
    } catch (const PostgresqlException& e) {
      if (e.connectionLost()) throw;
      PgResult(tx.connection().executeRequest(sql::kRollbackToSavepoint));
      report.problem("statement \"" + shortText(text) + "\": " + firstLine(e.what()));
    }
  };
  for (const sql::NamedStatement& st : sql::everyClusterNamedStatement(id_cluster))
    prepare("check_cluster_" + std::to_string(n++), st.text, st.nparams);
  for (const std::string& text : sql::everyClusterPlainStatement(id_cluster))
    prepare("check_cluster_" + std::to_string(n++), text, 0);
  if (report.problems() == before)
    report.ok("cluster: the tables of sql/cluster.sql are there and the " + std::to_string(n) +
              " statements on them prepare");
}

// The services start-up would load, and those it would not.
void checkServicesToLoad(pgConnectionPool& pool, int id_cluster, Report& report) {
  // Start-up deletes these before it loads: they are not looked at.
  IdSet skip;
  for (const std::string& text :
       {sql::checkDeleteServiceQuery(id_cluster), std::string(sql::kSelectDeletedPluginServices)}) {
    PgResult rows(pool.executeRequest(text));
    for (int r = 0; r < PQntuples(rows.get()); ++r)
      skip.insert(std::stoull(PQgetvalue(rows.get(), r, 0)));
  }
  ServiceCheck check = checkServices(&pool, "reloadService", &skip);
  // By id, as an operator looks them up.
  std::stable_sort(check.problems.begin(), check.problems.end(),
                   [](const ServiceProblem& a, const ServiceProblem& b) {
                     return a.service_id.size() != b.service_id.size()
                                ? a.service_id.size() < b.service_id.size()
                                : a.service_id < b.service_id;
                   });
  size_t refused = 0;
  std::set<std::string> cannot_run;  // a service may have two reasons
  for (const ServiceProblem& p : check.problems) {
    std::string reason = p.reason;
    while (!reason.empty() && reason[0] == ' ') reason.erase(0, 1);
    refused += p.refused;
    if (!p.refused) cannot_run.insert(p.service_id);
    report.problem("service " +
                   (p.service_id.empty() ? std::string("with a NULL id") : p.service_id) + " (" +
                   escapeForLog(p.service_name) +
                   "): " + (p.refused ? "refused at load: " : "cannot run: ") + firstLine(reason));
  }
  const std::string counts = std::to_string(check.loaded) + " services to load";
  if (check.problems.empty())
    report.ok("services: " + counts + ", none refused, every plugin can be started");
  else
    report.note("services: " + counts + " (" + std::to_string(cannot_run.size()) +
                " of them cannot run), " + std::to_string(refused) + " refused");
}

}  // namespace

int runConfigurationCheck(const std::string& config_path, int id_option) {
  Report report;
  report.note(std::string("mavoDaemon ") + daemonVersion() + ": checking " + config_path);
  try {
    iniConfig cfg(config_path);
    DaemonKeys keys;
    keys.id_cluster = id_option;
    if (checkConfiguration(cfg, config_path, &keys, report)) {
      pgConnectionPool pool(keys.connect_line, 1, keys.pgsql_timeout);
      PgResult version(pool.executeRequest(sql::kServerVersion));
      report.ok("database: connected, server " + std::string(PQgetvalue(version.get(), 0, 0)) +
                ", encoding " + pool.getClientEncoding());
      // Read-only, and rolled back when it ends: the check writes nothing.
      PgTransaction tx(pool, sql::kBeginReadOnly);
      const std::set<std::string> failed = checkStatements(tx, keys.id_cluster, report);
      if (keys.cluster_lease > 0) checkClusterObjects(tx, keys.id_cluster, report);
      if (failed.count("reloadService") + failed.count("select_adv_config") == 0)
        checkServicesToLoad(pool, keys.id_cluster, report);
      else
        report.note("services: not checked, their statements do not prepare");
    }
  } catch (const std::exception& e) {
    // The file cannot be read, CRLF line ends, the database cannot be reached or went away.
    report.problem(firstLine(e.what()));
  }
  if (report.problems() == 0) {
    report.note("check passed");
    return 0;
  }
  report.note("check failed: " + std::to_string(report.problems()) +
              (report.problems() == 1 ? " problem" : " problems"));
  return 1;
}
