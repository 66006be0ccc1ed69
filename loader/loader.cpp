// Service loaders. load_script runs in main at start and later in the reload thread;
// load_UpdateService in the reload thread only; the two never run at the same time, so the
// cores' load fields have one writer. Every service goes through the context's scheduled set,
// which places it on a core only when its id is not scheduled yet (and hands it to the update
// map otherwise), under its own lock and then the wait queue's.

#include "loader/loader.h"

#include <libpq-fe.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "cluster/cluster_state.h"
#include "core/clock.h"
#include "core/conversions.h"
#include "core/hash.h"
#include "core/log.h"
#include "core/settings.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "sched/context.h"
#include "sched/info_thread.h"
#include "sched/scheduled_services.h"
#include "service/command_line.h"

namespace {

namespace col = sql::service_column;

// Services whose ids follow one another are taken over with the same first due time, by blocks
// of this many ids (see load_buckets).
constexpr unsigned long long kSpreadBlock = 64;

enum class Loader { kInitial, kUpdate };

// The integer in column c of row r, read like std::stoi. A NULL, a text that is not a number or
// one out of range throws std::invalid_argument whose text starts with "stoi", as std::stoi's
// own, and goes on with the column and its value, so that the log line says which column of
// which service is wrong.
int intColumn(PGresult* res, int r, int c, const char* name) {
  if (PQgetisnull(res, r, c))
    throw std::invalid_argument(std::string("stoi: ") + name + " is NULL");
  const std::string text = PQgetvalue(res, r, c);
  try {
    return std::stoi(text);
  } catch (const std::logic_error&) {
    throw std::invalid_argument(std::string("stoi: ") + name + " is not an integer: '" + text +
                                "'");
  }
}

// Builds the service of row r. Throws std::exception for a row that cannot be loaded.
service buildService(PGresult* res, int r, pgConnectionPool* pool, Loader loader,
                     const std::string& statement) {
  auto col = [res, r](int c) { return std::string(PQgetvalue(res, r, c)); };
  const std::string id = col(col::kServiceId);
  const bool tracing = traceOn();
  if (PQgetisnull(res, r, col::kServiceId)) throw std::invalid_argument("stoi: service_id is NULL");

  service s;
  s.plugin_id = intColumn(res, r, col::kPluginId, "plugin_id");
  s.service_name = col(col::kServiceName);
  s.plugin_path = col(col::kPluginPath);
  s.Setinterval_exec_time(static_cast<int>(stringToUnsignedInt(col(col::kInterval))));
  s.device_id = stringToLongInt(col(col::kDeviceId));
  if (tracing && loader == Loader::kInitial) Trace("#LOAD ID " + statement + "#" + id + "#");
  s.SetService_id(loader == Loader::kInitial
                      ? std::stoull(col(col::kServiceId))
                      : static_cast<unsigned long long>(stringToLongInt(col(col::kServiceId))));
  if (tracing && loader == Loader::kInitial) Trace("#LOAD ID " + statement + "#" + id + "#");
  s.program_path = col(col::kProgramPath);
  s.last_stdout = col(col::kLastStdout);
  s.state = s.previous_state = intColumn(res, r, col::kPreviousState, "service_previous_state");
  s.response_unknown = col(col::kResponseUnknown) == "t";
  s.response_warning = col(col::kResponseWarning) == "t";
  s.response_critical = col(col::kResponseCritical) == "t";
  s.response_ok = col(col::kResponseOk) == "t";
  s.SetAlertingParameter(col(col::kResponseParameter));

  if (tracing && loader == Loader::kInitial)
    Trace("#LOAD ID " + statement + "#" + id + "#REPLACE PARAMETER");
  std::string line;
  try {
    line = replaceServiceParameter(col(col::kParameter), res, r);
  } catch (const std::invalid_argument&) {
    // The only number the macros read: say which, as for the columns read as numbers.
    throw std::invalid_argument("stoi: device_snmp_version is not an integer: '" +
                                col(col::kSnmpVersion) + "'");
  }
  if (tracing && loader == Loader::kInitial)
    Trace("#LOAD ID " + statement + "#" + id + "#CHECK AUTH FILE");
  // What the line may carry that the log and stored outputs must not show.
  std::vector<std::string> secrets = {col(col::kSnmpCommunity), col(col::kSnmp3AuthKey),
                                      col(col::kSnmp3PrivPassphrase)};
  if (line.find("$AUTH_FILE") != std::string::npos)
    line = replaceAuthFileKeywords(line, col(col::kDeviceId), pool, &secrets);
  s.Setparameter(line, secrets);

  const int interval = intColumn(res, r, col::kInterval, "service_interval_time");
  // The weight and the next due time divide by the interval: such a row cannot be scheduled.
  if (interval <= 0)
    throw std::invalid_argument(" service_interval_time must be positive, got " +
                                std::to_string(interval));
  s.Setinterval_exec_time(interval);
  return s;
}

// Index of the core with the smallest load; ties go to the lowest index.
size_t leastLoadedCore(const std::vector<infoThread*>& cores) {
  if (cores.empty()) throw std::runtime_error(" no scheduling core to place the service on");
  size_t best = 0;
  for (size_t i = 1; i < cores.size(); ++i) {
    if (coreLoad(*cores[i]) < coreLoad(*cores[best])) best = i;
  }
  return best;
}

// One more alerting program of a service, from a further row of the same service.
ServiceResponse responseOf(PGresult* res, int r) {
  auto col = [res, r](int c) { return std::string(PQgetvalue(res, r, c)); };
  ServiceResponse response;
  response.program_path = col(col::kProgramPath);
  response.alerting_parameter_list = splitArguments(col(col::kResponseParameter));
  response.response_unknown = col(col::kResponseUnknown) == "t";
  response.response_warning = col(col::kResponseWarning) == "t";
  response.response_critical = col(col::kResponseCritical) == "t";
  response.response_ok = col(col::kResponseOk) == "t";
  return response;
}

// Hands each service of a result to each, one per service id, in the order of their first rows:
// the rows of each further alerting program of a service add it to that service. A service
// whose first row cannot be built goes to failed(row, service id text, exception) and is left
// out; ids in skip are left out. Each service is handed on as soon as it is built, so that a
// large result never has every service built at once beside the schedule.
template <typename Each, typename Failed>
void forEachService(PGresult* res, pgConnectionPool* pool, Loader loader, const std::string& name,
                    const IdSet* skip, Each each, Failed failed) {
  const int rows = PQntuples(res);
  auto id = [res](int r) { return PQgetvalue(res, r, col::kServiceId); };
  // The rows of one id, in row order: next[r] is the row after r of its service (-1: none),
  // and a row that follows another of its service is no service's first. A NULL id is a row
  // of its own.
  std::vector<int> order(static_cast<size_t>(rows));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return std::strcmp(id(a), id(b)) < 0; });
  std::vector<int> next(static_cast<size_t>(rows), -1);
  std::vector<bool> first(static_cast<size_t>(rows), true);
  for (size_t k = 1; k < order.size(); ++k) {
    const int a = order[k - 1], b = order[k];
    if (PQgetisnull(res, a, col::kServiceId) || PQgetisnull(res, b, col::kServiceId)) continue;
    if (std::strcmp(id(a), id(b)) != 0) continue;
    next[static_cast<size_t>(a)] = b;
    first[static_cast<size_t>(b)] = false;
  }
  order.clear();
  order.shrink_to_fit();

  for (int r = 0; r < rows; ++r) {
    if (!first[static_cast<size_t>(r)]) continue;
    const std::string service_id = id(r);
    try {
      if (loader == Loader::kInitial && traceOn()) Trace("Chargement dans la queue " + service_id);
      service s = buildService(res, r, pool, loader, name);
      if (skip != nullptr && skip->count(s.service_id) != 0) continue;
      // The same program twice (one row per pending request of the service, a device listed
      // twice in the inventory) is one program: each alert goes out once.
      const ServiceResponse own{s.program_path,     s.alerting_parameter_list, s.response_ok,
                                s.response_unknown, s.response_warning,        s.response_critical};
      for (int m = next[static_cast<size_t>(r)]; m >= 0; m = next[static_cast<size_t>(m)]) {
        ServiceResponse more = responseOf(res, m);
        if (more == own || std::find(s.more_responses.begin(), s.more_responses.end(), more) !=
                               s.more_responses.end())
          continue;
        s.more_responses.push_back(std::move(more));
      }
      each(std::move(s), r);
    } catch (const std::exception& e) {
      failed(r, service_id, e);
    }
  }
}

// The failure of a row, logged with its loader's words.
auto logFailure(const char* failure) {
  return [failure](int, const std::string& service_id, const std::exception& e) {
    write_log("ERR", failure + service_id + e.what());
  };
}

// The first "$AUTH_FILE_<name>" keyword of the arguments, "" when none is left.
std::string keywordLeft(const std::list<std::string>& arguments) {
  static const std::string kKeyword = "$AUTH_FILE_";
  for (const std::string& argument : arguments) {
    const size_t at = argument.find(kKeyword);
    if (at == std::string::npos) continue;
    size_t end = at + kKeyword.size();
    while (end < argument.size() && (isalnum(static_cast<unsigned char>(argument[end])) ||
                                     argument[end] == '_' || argument[end] == '-'))
      ++end;
    return argument.substr(at, end - at);
  }
  return "";
}

// Puts a new service on the least-loaded core with its first run spread over ctx.load_spread
// seconds; returns the core's index. Runs under the scheduled set's lock: it logs nothing.
size_t placeService(const SchedContext& ctx, service& s) {
  const timeval now = monotonicNow();
  const int spread = ctx.load_spread > 0 ? ctx.load_spread : 1;
  s.next_exec_time.tv_sec = now.tv_sec + rand() % spread;
  s.next_exec_time.tv_usec = now.tv_usec;
  // With several daemons: the ownership this copy belongs to (a service of a bucket not owned
  // is dropped at its first turn).
  if (ctx.cluster != nullptr) s.cluster_epoch = ctx.cluster->epoch(bucketOf(s.service_id));
  std::vector<infoThread*>& cores = *ctx.cores;
  const size_t core = leastLoadedCore(cores);
  cores[core]->wait_queue->push(s);
  addCoreLoad(*cores[core], s.load_weight);
  return core;
}

// Hands s to the schedule (see load_script); failures are logged with failure.
void scheduleService(const SchedContext& ctx, service s, const char* failure) {
  const std::string id = s.service_id_str;
  try {
    size_t core = 0;
    const bool placed =
        ctx.scheduled->schedule(std::move(s), [&](service& x) { core = placeService(ctx, x); });
    if (placed && traceOn()) {
      Trace("Chargement dans la queue numéros " + std::to_string(core));
      Trace("Chargement dans la queue numéros sucess");
    }
  } catch (const std::exception& e) {
    write_log("ERR", failure + id + e.what());
  }
}

}  // namespace

void load_script(const SchedContext& ctx, pgConnectionPool* pool, std::string name,
                 const IdSet* skip, const std::vector<std::string>& params) {
  PgResult res(pool->executePrepareRequest(name, params));
  srand(static_cast<unsigned>(time(nullptr)));
  const char* failure = "Failed to initial load service: ";
  forEachService(
      res.get(), pool, Loader::kInitial, name, skip,
      [&](service&& s, int) { scheduleService(ctx, std::move(s), failure); }, logFailure(failure));
  res.reset();
  write_log("INFO", "script reload successful");
}

void load_UpdateService(const SchedContext& ctx, pgConnectionPool* pool, std::string name,
                        const IdSet* skip, const std::vector<std::string>& params) {
  PgResult res(pool->executePrepareRequest(name, params));
  const char* failure = "Failed to load service: ";
  forEachService(
      res.get(), pool, Loader::kUpdate, name, skip,
      [&](service&& s, int) { scheduleService(ctx, std::move(s), failure); }, logFailure(failure));
}

ServiceCheck checkServices(pgConnectionPool* pool, const std::string& name, const IdSet* skip) {
  PgResult res(pool->executePrepareRequest(name));
  ServiceCheck check;
  std::vector<ServiceProblem>& problems = check.problems;
  forEachService(
      res.get(), pool, Loader::kInitial, name, skip,
      [&](service&& s, int) {
        ++check.loaded;
        if (const int err = pluginStartError(s.plugin_path))
          problems.push_back(
              {s.service_id_str, s.service_name, false,
               "plugin is not executable " + std::string(strerror(err)) + ": " + s.plugin_path});
        const std::string keyword = keywordLeft(s.parameter_list);
        if (!keyword.empty())
          problems.push_back({s.service_id_str, s.service_name, false,
                              "keyword " + keyword + " has no value for device " +
                                  std::to_string(s.device_id) +
                                  ": the plugin gets the keyword itself"});
      },
      [&](int r, const std::string& service_id, const std::exception& e) {
        char* end = nullptr;
        const unsigned long long id = strtoull(service_id.c_str(), &end, 10);
        if (skip != nullptr && !service_id.empty() && *end == '\0' && skip->count(id) != 0) return;
        problems.push_back(
            {service_id, PQgetvalue(res.get(), r, col::kServiceName), true, e.what()});
      });
  return check;
}

std::vector<unsigned long long> load_buckets(const SchedContext& ctx, pgConnectionPool* pool,
                                             const std::string& name, const std::string& buckets,
                                             const std::map<int, int64_t>& previous_end_ms,
                                             const IdSet* only, size_t* loaded) {
  PgResult res(pool->executePrepareRequest(name, {buckets}));
  // A draw of this load for each block of neighbouring ids (the same for every service of it).
  thread_local std::minstd_rand random(static_cast<unsigned>(monotonicMs()));
  const uint64_t seed = random();
  auto blockDraw = [seed](unsigned long long id) {
    return mix64((id / kSpreadBlock) ^ (seed << 32));
  };
  std::vector<unsigned long long> busy;
  *loaded = 0;
  forEachService(
      res.get(), pool, Loader::kInitial, name, nullptr,
      [&](service&& s, int r) {
        if (only != nullptr && only->count(s.service_id) == 0) return;
        // Due one interval after its last run (NULL: it never ran), and one interval after the
        // lease of its bucket's previous owner ended (a run it started just before is not
        // followed by another within the interval); when that is already past, at a moment spread
        // over half an interval (at most the spread of first runs), so that the services taken
        // over do not all start at once. The moment is drawn for each block of kSpreadBlock
        // neighbouring service ids, not for each service: services of one block run, and their
        // results are stored, together, and a batch of results then touches a few pages of the
        // service table rather than one page per row.
        int64_t wait_ms = PQgetisnull(res.get(), r, sql::cluster::kWaitColumn)
                              ? 0
                              : std::atoll(PQgetvalue(res.get(), r, sql::cluster::kWaitColumn));
        auto end = previous_end_ms.find(bucketOf(s.service_id));
        if (end != previous_end_ms.end())
          wait_ms = std::max(wait_ms, end->second + s.interval_exec_time);
        if (wait_ms <= 0) {
          const int64_t window = std::min<int64_t>(s.interval_exec_time / 2,
                                                   int64_t{std::max(ctx.load_spread, 1)} * 1000);
          wait_ms = window > 1 ? static_cast<int64_t>(blockDraw(s.service_id) % window) : 0;
        }
        s.cluster_epoch = ctx.cluster != nullptr ? ctx.cluster->epoch(bucketOf(s.service_id)) : 0;
        const unsigned long long id = s.service_id;
        try {
          const bool placed = ctx.scheduled->scheduleIfAbsent(std::move(s), [&](service& x) {
            x.next_exec_time = addMs(monotonicNow(), wait_ms);
            std::vector<infoThread*>& cores = *ctx.cores;
            const size_t core = leastLoadedCore(cores);
            cores[core]->wait_queue->push(x);
            addCoreLoad(*cores[core], x.load_weight);
          });
          if (placed)
            ++*loaded;
          else
            busy.push_back(id);
        } catch (const std::exception& e) {
          write_log("ERR", "Failed to initial load service: " + std::to_string(id) + e.what());
        }
      },
      logFailure("Failed to initial load service: "));
  return busy;
}
