// The configuration's keys, read by the main thread at start (and by the configuration check).
// No lock: nothing else runs yet.

#include "daemon/configuration.h"

#include <errno.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>

#include "core/ini_config.h"
#include "db/conninfo.h"
#include "db/pool.h"
#include "sched/result_journal.h"

namespace {

// Smallest bound of the journal that the configuration may set.
const int kMinJournalBytes = 65536;

// Parses an int like std::stoi in base 10: leading white space, optional sign, digits up to
// the first other character. Fails on no digit or a value outside int.
bool parseInt(const std::string& text, int* out) {
  const char* s = text.c_str();
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (end == s || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

int configInt(iniConfig& cfg, const std::string& section, const std::string& key, int minimum,
              int maximum, const BadKey& bad) {
  const std::string text = cfg.getKey(section, key);
  const std::string name = "error: configuration key " + key + " of section [" + section + "]";
  int value = 0;
  if (text.empty()) {
    bad(name + " is missing or empty");
  } else if (!parseInt(text, &value)) {
    bad(name + " is not an integer: \"" + text + "\"");
  } else if (value < minimum) {
    bad(name + " must be at least " + std::to_string(minimum) + ", got " + std::to_string(value));
  } else if (value > maximum) {
    bad(name + " must be at most " + std::to_string(maximum) + ", got " + std::to_string(value));
  } else {
    return value;
  }
  return minimum;
}

// An optional integer key: absent or empty keeps *value.
template <typename T>
void optionalInt(iniConfig& cfg, const std::string& section, const std::string& key, int minimum,
                 int maximum, const BadKey& bad, T* value) {
  if (!cfg.getKey(section, key).empty())
    *value = static_cast<T>(configInt(cfg, section, key, minimum, maximum, bad));
}

// Longest name of a member among the daemons of one identifier.
const size_t kMaxNodeName = 63;

// The default name of this daemon among its peers: the host name and the process id.
std::string defaultNodeName() {
  char host[256] = {0};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  return std::string(host[0] != 0 ? host : "localhost") + ":" + std::to_string(getpid());
}

}  // namespace

DaemonKeys::DaemonKeys()
    : pgsql_timeout(kDefaultPgTimeoutSeconds), journal_bytes(kDefaultJournalBytes) {}

void throwBadKey(const std::string& message) { throw StartupError(message); }

bool parseIntOption(const std::string& text, int* out) { return parseInt(text, out); }

void refuseCrlfFile(iniConfig& cfg, const std::string& path) {
  if (const int line = cfg.firstCrlfLine())
    throw StartupError("error: configuration file " + path + " has CRLF line ends (line " +
                       std::to_string(line) + "): lines must end with LF");
}

void readLogKeys(iniConfig& cfg, DaemonKeys* keys) {
  keys->log_info_file = cfg.getKey("LOG", "log_info_file");
  keys->log_daemon_file = cfg.getKey("LOG", "log_daemon_file");
}

void readMavoKeys(iniConfig& cfg, DaemonKeys* keys, const BadKey& bad) {
  if (cfg.getKey("MAVO", "daemon_id") != "0")
    keys->id_cluster = configInt(cfg, "MAVO", "daemon_id", INT_MIN, INT_MAX, bad);
  keys->core_number = configInt(cfg, "MAVO", "core_number", 1, INT_MAX, bad);
  keys->thread_number = configInt(cfg, "MAVO", "thread_number", 1, INT_MAX, bad);
  keys->load_mod = configInt(cfg, "MAVO", "load_mod", 1, INT_MAX, bad);
  keys->interval_check_update = configInt(cfg, "MAVO", "interval_check_update", 1, INT_MAX, bad);
  keys->verify_state_change = configInt(cfg, "MAVO", "verify_state_change", INT_MIN, INT_MAX, bad);
  // Seconds, turned into milliseconds for the next due time: a day at most.
  keys->wait_state_verify = configInt(cfg, "MAVO", "wait_state_verify", 0, 86400, bad);
  optionalInt(cfg, "MAVO", "plugin_timeout", 0, INT_MAX, bad, &keys->plugin_timeout);
  keys->metrics_listen = cfg.getKey("MAVO", "metrics_listen");
  optionalInt(cfg, "MAVO", "write_batch_ms", 0, 1000, bad, &keys->write_batch_ms);
  optionalInt(cfg, "MAVO", "cluster_lease", 0, 3600, bad, &keys->cluster_lease);
  if (keys->cluster_lease == 1) {
    bad("error: configuration key cluster_lease of section [MAVO] must be 0 (off) or 2 to 3600 "
        "seconds, got 1");
    keys->cluster_lease = 2;
  }
  if (keys->cluster_lease > 0) {
    keys->cluster_node = cfg.getKey("MAVO", "cluster_node");
    if (keys->cluster_node.empty()) keys->cluster_node = defaultNodeName();
    if (keys->cluster_node.size() > kMaxNodeName)
      bad("error: configuration key cluster_node of section [MAVO] is longer than " +
          std::to_string(kMaxNodeName) + " characters: \"" + keys->cluster_node + "\"");
  }
}

void readDatabaseKeys(iniConfig& cfg, DaemonKeys* keys, const BadKey& bad) {
  keys->connection_number = configInt(cfg, "POSTGRESQL", "connection_number", 1, INT_MAX, bad);
  optionalInt(cfg, "POSTGRESQL", "PGSQL_timeout", 1, 3600, bad, &keys->pgsql_timeout);
  optionalInt(cfg, "MAVO", "journal_max_bytes", kMinJournalBytes, INT_MAX, bad,
              &keys->journal_bytes);
  std::string options = cfg.getKey("POSTGRESQL", "PGSQL_options");
  // With several daemons, a transaction left open by a frozen daemon (which may hold a bucket
  // another member is taking over) is ended by the server: every run's transaction is over in
  // far less. The keyword comes before PGSQL_options, which may set options itself.
  if (keys->cluster_lease > 0)
    options = "options='-c idle_in_transaction_session_timeout=" +
              std::to_string(keys->pgsql_timeout * 1000) + "' " + options;
  try {
    keys->connect_line = buildConnectLine(
        cfg.getKey("POSTGRESQL", "PGSQL_host"), cfg.getKey("POSTGRESQL", "PGSQL_port"),
        cfg.getKey("POSTGRESQL", "PGSQL_db"), cfg.getKey("POSTGRESQL", "PGSQL_username"),
        cfg.getKey("POSTGRESQL", "PGSQL_pwd"), options, keys->pgsql_timeout);
  } catch (const std::invalid_argument& e) {
    bad("error: configuration key PGSQL_options of section [POSTGRESQL] is not a list of libpq "
        "keywords (\"" +
        options + "\"): " + e.what());
    keys->connect_line.clear();
  }
}

std::string metricsListenError(const std::string& why) {
  return "error: configuration key metrics_listen of section [MAVO]: cannot listen on " + why;
}
