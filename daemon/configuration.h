#pragma once
// The keys of the configuration file, read and checked the one way for start-up and for the
// configuration check: the integer keys and their ranges, the optional keys, the database keys
// and the connection string built from them. Start-up stops at the first bad key (its report
// throws); the check reports every bad key and goes on with the next.

#include <cstddef>
#include <exception>
#include <functional>
#include <string>

class iniConfig;

// A failure that stops start-up or the check: its text is printed, and the exit status is 1.
class StartupError : public std::exception {
 public:
  explicit StartupError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The values of the keys, defaults of the optional ones included.
struct DaemonKeys {
  std::string log_info_file;
  std::string log_daemon_file;
  int id_cluster = 0;  // the -i value, replaced by daemon_id when that is not "0"
  int core_number = 1;
  int thread_number = 1;
  int load_mod = 1;
  int interval_check_update = 1;
  int verify_state_change = 0;
  int wait_state_verify = 0;
  int plugin_timeout = 0;      // optional: absent or empty means no limit
  std::string metrics_listen;  // optional: absent or empty means no endpoint
  int write_batch_ms = 50;     // optional: 0 stores each run's writes on their own
  int cluster_lease = 0;       // optional: absent, empty or 0 means one daemon per identifier
  std::string cluster_node;    // optional: the host name and the process id
  int connection_number = 1;
  int pgsql_timeout;     // optional: kDefaultPgTimeoutSeconds
  size_t journal_bytes;  // optional: kDefaultJournalBytes
  std::string connect_line;
  DaemonKeys();
};

// Called with the message of each bad key ("error: configuration key KEY of section [SECTION]
// ..."). One that returns has the reading go on with the key's smallest value.
using BadKey = std::function<void(const std::string& message)>;

// A BadKey that throws StartupError: start-up stops at the first bad key.
void throwBadKey(const std::string& message);

// Parses an int as the integer keys are (std::stoi in base 10: leading white space, optional
// sign, digits up to the first other character); false on no digit or a value outside int.
bool parseIntOption(const std::string& text, int* out);

// Throws StartupError when the file has CRLF line ends (no section header would be
// recognised: every key would look missing), FileException when it cannot be read.
void refuseCrlfFile(iniConfig& cfg, const std::string& path);
// Section LOG: the two paths (any text; an empty one is taken as it is).
void readLogKeys(iniConfig& cfg, DaemonKeys* keys);
// Section MAVO, in start-up's order: daemon_id, core_number, thread_number, load_mod,
// interval_check_update, verify_state_change, wait_state_verify, plugin_timeout, the text of
// metrics_listen (whether it can be listened on is the caller's: see metricsListenError),
// write_batch_ms (0 to 1000), then cluster_lease (0, or 2 to 3600) and, with it, cluster_node
// (at most 63 characters).
void readMavoKeys(iniConfig& cfg, DaemonKeys* keys, const BadKey& bad);
// Section POSTGRESQL (and MAVO/journal_max_bytes): connection_number, PGSQL_timeout,
// journal_max_bytes, then the connection string from the database keys and PGSQL_options. Call
// it after readMavoKeys: with several daemons per identifier, every session of the daemon has
// the server end a transaction left idle longer than PGSQL_timeout.
void readDatabaseKeys(iniConfig& cfg, DaemonKeys* keys, const BadKey& bad);
// The message for a metrics_listen that cannot be listened on, given why.
std::string metricsListenError(const std::string& why);
