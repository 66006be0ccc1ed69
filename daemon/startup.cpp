// Start-up, waiting and shutdown of mavoDaemon, run by the main thread.
//
// SIGTERM: HandlerQuit only sets a flag and writes one byte to a close-on-exec pipe. The stop
// watcher thread reads it, logs, sets the stop flag and wakes every core's workers (broadcasting
// each execute queue while holding its mutex_queue) and every stop-aware sleeper, in that order.
// SIGHUP: HandlerReopenLog does the same with a flag of its own; the watcher reopens the daemon
// log (under the log's mutex). The watcher serves both until start-up or the stop ends it.
// Locks: mutex_cores (local) guards vec_core while main appends to it and while the watcher
// walks it; mutex_vec_thread is held while starting the workers and while waiting for them.

#include "daemon/startup.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <libpq-fe.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cluster/cluster_state.h"
#include "core/ini_config.h"
#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "daemon/check.h"
#include "daemon/configuration.h"
#include "daemon/metrics.h"
#include "daemon/monitor.h"
#include "daemon/systemd_notify.h"
#include "db/conninfo.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "loader/loader.h"
#include "reload/cluster_coordinator.h"
#include "reload/reload.h"
#include "sched/alert_runner.h"
#include "sched/batch_writer.h"
#include "sched/context.h"
#include "sched/incidents.h"
#include "sched/info_thread.h"
#include "sched/journal_writer.h"
#include "sched/result_journal.h"
#include "sched/scheduled_services.h"
#include "sched/timer.h"
#include "sched/worker.h"

#ifndef MAVO_VERSION
#define MAVO_VERSION "unknown"
#endif

const char* daemonVersion() { return MAVO_VERSION; }

namespace {

int stop_pipe[2] = {-1, -1};
pthread_mutex_t mutex_cores = PTHREAD_MUTEX_INITIALIZER;  // guards vec_core during start-up

// Bytes written to the stop pipe: a signal arrived (its flag says which), or the watcher ends.
const char kSignalled = 's';
const char kStopQuietly = 'q';
// Set by the signal handlers, taken by the stop watcher.
int stop_signalled = 0;
int reopen_signalled = 0;

// POSTGRESQL/PGSQL_timeout: longest wait of a database request, seconds. Written by the main
// thread once the configuration is read, which may be after the stop watcher has started.
std::atomic<int> pgsql_timeout{kDefaultPgTimeoutSeconds};
// The journal of writes the database could not take, shared by every core.
ResultJournal* journal = nullptr;
// Runs the alerts of the journal's written incidents, so that none holds up the replays.
AlertRunner* alert_runner = nullptr;
// Stores the writes of every core's runs together (MAVO/write_batch_ms); null when it is 0.
BatchWriter* batch_writer = nullptr;
// What the scheduling threads read: the process-wide objects and settings, built once the
// configuration is read and the main pool is open.
SchedContext daemon_ctx;
// The metrics endpoint, when MAVO/metrics_listen names an address.
std::unique_ptr<MetricsServer> metrics;
// Several daemons sharing the identifier (MAVO/cluster_lease): this daemon's buckets and lease,
// the pool of their coordination, and the coordination itself; null otherwise.
std::unique_ptr<ClusterState> cluster_state;
pgConnectionPool* cluster_pool = nullptr;
std::unique_ptr<ClusterCoordinator> coordinator;

bool takeFlag(int* flag) { return __atomic_exchange_n(flag, 0, __ATOMIC_ACQ_REL) != 0; }

void stopBySignal() {
  write_log("INFO", "stop mavo... SIGTERM");
  notifyStopping();
  // The runs in progress are finished and written while the database answers; each request
  // still waits at most PGSQL_timeout for one that does not.
  requestStop();
  {
    ScopedLock lock(&mutex_cores);
    for (infoThread* core : vec_core) core->execute_queue->broadcast();
  }
  wakeStopSleepers();
  if (journal != nullptr) journal->wake();
}

// Serves SIGTERM (once) and SIGHUP (each time), also while the daemon stops, until
// kStopQuietly.
void* thread_stop_watcher(void*) {
  bool stopping = false;
  for (;;) {
    char c = 0;
    const ssize_t n = read(stop_pipe[0], &c, 1);
    if (n == -1 && errno == EINTR) continue;
    if (n != 1) return nullptr;
    // A byte the handler could not write (the pipe full) is covered by the one before it: the
    // flags are read at each byte.
    if (takeFlag(&reopen_signalled)) reopenDaemonLog();
    if (takeFlag(&stop_signalled) && !stopping) {
      stopping = true;
      stopBySignal();
    }
    if (c == kStopQuietly) return nullptr;
  }
}

// Writes c to the stop pipe, waiting while it is full (not from a signal handler).
void wakeWatcher(char c) {
  while (write(stop_pipe[1], &c, 1) < 0 && errno == EAGAIN) sleepMilliseconds(10);
}

void createStopPipe() {
  if (pipe2(stop_pipe, O_CLOEXEC) != 0) {
    const int err = errno;
    throw StartupError(std::string("error: can't create the stop pipe: ") + strerror(err));
  }
  fcntl(stop_pipe[1], F_SETFL, fcntl(stop_pipe[1], F_GETFL) | O_NONBLOCK);
}

// Threads that the worker wait does not cover; all are joined before the objects they use are
// released.
struct BackgroundThreads {
  std::vector<pthread_t> handles;
  bool watcher_started = false;
  pthread_t watcher;
  bool journal_writer_started = false;
  pthread_t journal_writer;
  bool coordination_started = false;
  pthread_t coordination;

  // The coordination of several daemons leaves the identifier (handing its buckets over) and
  // ends; it renews the lease until then, so that the runs in progress write under it.
  void joinCoordination() {
    if (!coordination_started) return;
    coordinator->requestLeave();
    pthread_join(coordination, nullptr);
    coordination_started = false;
  }

  // The journal's writer is joined before the last attempt to write the journal, which must
  // be the only one.
  void joinJournalWriter() {
    if (!journal_writer_started) return;
    requestStop();
    journal->wake();
    wakeStopSleepers();
    pthread_join(journal_writer, nullptr);
    journal_writer_started = false;
  }

  void start(void* (*entry)(void*), void* arg, const std::string& what) {
    pthread_t t;
    int rc = pthread_create(&t, nullptr, entry, arg);
    if (rc != 0) throw StartupError("error: can't start the " + what + ": " + strerror(rc));
    handles.push_back(t);
  }

  // Stops and joins everything (also after a failed start-up).
  void joinAll() {
    joinJournalWriter();
    joinCoordination();
    requestStop();
    {
      ScopedLock lock(&mutex_cores);
      for (infoThread* core : vec_core) core->execute_queue->broadcast();
    }
    wakeStopSleepers();
    for (pthread_t t : handles) pthread_join(t, nullptr);
    handles.clear();
    if (watcher_started) {
      wakeWatcher(kStopQuietly);
      pthread_join(watcher, nullptr);
      watcher_started = false;
    }
  }
};

// What the command line asks for besides -f, -D and -i.
enum class Mode { kRun, kCheck, kVersion, kHelp };

const char kUsage[] =
    "Usage: mavoDaemon [-f CONFIG] [-D] [-i ID]\n"
    "       mavoDaemon --check [-f CONFIG] [-i ID]\n"
    "The scheduling and execution engine of the monitoring system; it runs in the foreground.\n"
    "\n"
    "  -f CONFIG    configuration file (default /etc/mavo/mavo.conf)\n"
    "  -D           debug trace: DEBUG lines in the daemon log\n"
    "  -i ID        daemon identifier, used when the configuration's daemon_id is 0\n"
    "  -t, --check  check the configuration, the database and the services, then exit:\n"
    "               0 when all is well, 1 otherwise (nothing is started or written)\n"
    "  --version    print the version and exit\n"
    "  --help       print this help and exit\n"
    "\n"
    "SIGTERM stops the daemon in order; SIGHUP reopens its log. See mavoDaemon(8), mavo.conf(5).\n";

Mode parseOptions(int argc, char** argv) {
  enum { kOptionVersion = 256, kOptionHelp };
  static const option kLong[] = {{"check", no_argument, nullptr, 't'},
                                 {"version", no_argument, nullptr, kOptionVersion},
                                 {"help", no_argument, nullptr, kOptionHelp},
                                 {nullptr, 0, nullptr, 0}};
  Mode mode = Mode::kRun;
  int opt;
  while ((opt = getopt_long(argc, argv, "f:Di:t", kLong, nullptr)) != -1) {
    switch (opt) {
      case 'f':
        pathToConfigFile = optarg;
        break;
      case 'D':
        debug = 1;
        break;
      case 'i':
        if (!parseIntOption(optarg, &id_cluster))
          throw StartupError(std::string("error: option -i needs an integer, got \"") + optarg +
                             "\"");
        break;
      case 't':
        if (mode == Mode::kRun) mode = Mode::kCheck;
        break;
      case kOptionVersion:
        if (mode != Mode::kHelp) mode = Mode::kVersion;
        break;
      case kOptionHelp:
        mode = Mode::kHelp;
        break;
      default:
        break;  // getopt has printed its own diagnostic
    }
  }
  return mode;
}

// Text on standard output, for the modes that answer and exit.
void print(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

void loadErrorMap() {
  PgResult res(pgSQL->executeRequest(sql::kSelectDefaultErrors));
  for (int r = 0; r < PQntuples(res.get()); ++r)
    map_error[PQgetvalue(res.get(), r, 1)] = PQgetvalue(res.get(), r, 0);
}

void cleanDeletedPlugins() {
  write_log("INFO", "DELETE OLD SERVICE ");
  try {
    PgResult rows(pgSQL->executeRequest(sql::kSelectDeletedPluginServices));
    for (int r = 0; r < PQntuples(rows.get()); ++r) {
      PgResult(pgSQL->executeParamRequest(sql::kDeleteServiceById, {PQgetvalue(rows.get(), r, 0)}));
    }
    rows.reset();
    PgResult(pgSQL->executeRequest(sql::kDeleteDeletedPlugins));
    PgResult(pgSQL->executeRequest(sql::kResetSysReload));
  } catch (const PostgresqlException& e) {
    write_log("ERR", std::string("SELECT delete service failed:  ") + e.what());
  }
  // With several daemons, a marked service may still run on another member: its owner deletes
  // its row, from its reload cycle.
  if (cluster_state != nullptr) return;
  try {
    PgResult(pgSQL->executeRequest(sql::deleteMarkedServicesQuery(id_cluster)));
  } catch (const PostgresqlException& e) {
    write_log("ERR", std::string("SELECT delete service failed:  ") + e.what());
  }
}

// Several daemons of one identifier: the tables of sql/cluster.sql must be there (checked
// early, before the start-up pause), and no live member may have this daemon's name (when it
// joins).
void prepareCluster() {
  cluster_pool = new pgConnectionPool(connectLine, 1, pgsql_timeout);
  coordinator = std::make_unique<ClusterCoordinator>(daemon_ctx, *cluster_state, cluster_pool);
  const std::string missing = coordinator->missingTables();
  if (!missing.empty())
    throw StartupError(
        "error: configuration key cluster_lease of section [MAVO] needs the tables of "
        "sql/cluster.sql in the database (missing: " +
        missing + "); apply sql/cluster.sql first");
  coordinator->prepare();
}

// Joins the identifier's members, just before the first pass: the lease starts now.
void joinClusterNow() {
  int left_s = 0;
  if (!coordinator->join(&left_s))
    throw StartupError(
        "error: configuration key cluster_node of section [MAVO]: a daemon named \"" +
        cluster_state->node() + "\" is already running for identifier " +
        std::to_string(id_cluster) + " (its lease ends in " + std::to_string(left_s) +
        " s); give each daemon a name of its own");
}

// MAVO/write_batch_ms: how long the batch writer gathers runs; 0: no batch writer.
int write_batch_ms = 50;

void createCores(int connections, BackgroundThreads& threads) {
  write_log("INFO", "INSTANCE CORE - create queue");
  for (int i = 0; i < core_number; ++i) {
    infoThread* core = createCore(connectLine, connections, pgsql_timeout);
    core->context = &daemon_ctx;
    write_log("INFO", "PREPARATION REQUEST ");
    try {
      for (const auto& st : sql::coreStatements())
        core->pool->prepareRequest(st.name, st.text, st.nparams);
      if (cluster_state != nullptr)
        for (const auto& st : sql::clusterCoreStatements())
          core->pool->prepareRequest(st.name, st.text, st.nparams);
    } catch (...) {
      destroyCore(core);
      throw;
    }
    // One batch writer for the daemon, on the first core's connections: the writes of every
    // core go into the same batches, which are then as large as the daemon's rate allows.
    if (write_batch_ms > 0) {
      if (batch_writer == nullptr) {
        BatchWriter::Settings batch;
        batch.window_ms = write_batch_ms;
        batch_writer = new BatchWriter(core->pool, journal, alert_runner, batch);
        batch_writer->start();
      }
      core->writer = batch_writer;
    }
    {
      ScopedLock lock(&mutex_cores);
      vec_core.push_back(core);
    }
    threads.start(thread_check_time, core, "timer thread of core " + std::to_string(i));
  }
  write_log("INFO", "INSTANCE CORE - queue success");
}

void startWorkers() {
  ScopedLock lock(&mutex_vec_thread);
  for (size_t i = 0; i < vec_core.size(); ++i) {
    infoThread* core = vec_core[i];
    for (int k = 0; k < nbr_max_thread; ++k) {
      pthread_t t;
      int rc = pthread_create(&t, nullptr, thread_execute_plugin, core);
      if (rc != 0) {
        // A worker that never started is not waited for.
        write_log("ERR", "error: can't start worker thread of core " + std::to_string(i) + ": " +
                             strerror(rc));
        continue;
      }
      pthread_detach(t);
      core->vec_thread->push_back(t);
    }
  }
}

void waitForWorkers() {
  ScopedLock lock(&mutex_vec_thread);
  for (infoThread* core : vec_core) {
    while (!core->vec_thread->empty()) pthread_cond_wait(&cond_vec_thread, &mutex_vec_thread);
  }
}

// Once the workers have ended: one last attempt, within what is left of the stop deadline, to
// write what the journal keeps; what is left is counted in the log.
void writeOrCountJournal() {
  if (journal == nullptr) return;
  if (journal->entries() > 0 && !vec_core.empty()) journal->replay(vec_core[0]->pool);
  const ResultJournal::Left left = journal->discard();
  if (left.updates + left.changes > 0)
    write_log("ERR", "stopping with " + std::to_string(left.updates + left.changes) +
                         " results not written to the database (" + std::to_string(left.updates) +
                         " state updates, " + std::to_string(left.changes) +
                         " acknowledgements and incidents)");
}

void releaseAll() {
  metrics.reset();  // it reads the cores and pools
  delete pgSQL;
  pgSQL = nullptr;
  delete batch_writer;  // stores what it still holds first, on the first core's pool
  batch_writer = nullptr;
  {
    ScopedLock lock(&mutex_cores);
    for (infoThread* core : vec_core) destroyCore(core);
    vec_core.clear();
  }
  delete journal;
  journal = nullptr;
  delete alert_runner;  // waits for the alerts still running
  alert_runner = nullptr;
  coordinator.reset();
  delete cluster_pool;
  cluster_pool = nullptr;
  cluster_state.reset();
}

}  // namespace

namespace {
// The body of both handlers: async-signal-safe.
void signalWatcher(int* flag) {
  const int saved = errno;
  __atomic_store_n(flag, 1, __ATOMIC_RELEASE);
  char c = kSignalled;
  if (write(stop_pipe[1], &c, 1) < 0) {
    // pipe full: the watcher has bytes to read still, and reads the flag at the next one
  }
  errno = saved;
}
}  // namespace

void HandlerQuit(int) { signalWatcher(&stop_signalled); }

void HandlerReopenLog(int) { signalWatcher(&reopen_signalled); }

int runDaemon(int argc, char** argv) {
  BackgroundThreads threads;
  try {
    switch (parseOptions(argc, argv)) {  // 1
      case Mode::kRun:
        break;
      case Mode::kCheck:
        return runConfigurationCheck(pathToConfigFile, id_cluster);
      case Mode::kVersion:
        print(std::string("mavoDaemon ") + daemonVersion() + "\n");
        return 0;
      case Mode::kHelp:
        print(kUsage);
        return 0;
    }
    // 2: mutex_log_system is statically initialised.
    if (PQisthreadsafe() != 1) {  // 3
      write_log("ERR", "Error: Postgresql is not thread safe");
      write_raw_log("Error: Postgresql is not thread safe\n");
      return 1;
    }
    iniConfig cfg(pathToConfigFile);  // 4
    refuseCrlfFile(cfg, pathToConfigFile);
    DaemonKeys keys;
    keys.id_cluster = id_cluster;
    readLogKeys(cfg, &keys);  // 5
    file_info = keys.log_info_file;

    if (dup2(1, 2) == -1) {  // 6
      const int err = errno;
      write_raw_log(std::string("erreur de redirection de flux stderr (dup2): ") + strerror(err) +
                    "\n");
      errno = err;
      perror("erreur de redirection de flux stderr (dup2)");
      return 2;
    }

    openDaemonLog(keys.log_daemon_file);  // 7

    write_log("INFO", "MAVO start....");  // 8
    write_log("INFO", "MAVO configuration open succesful");

    readMavoKeys(cfg, &keys, throwBadKey);  // 9, 10, and the optional keys
    id_cluster = keys.id_cluster;
    core_number = keys.core_number;
    nbr_max_thread = keys.thread_number;
    modulo_rand = keys.load_mod;
    wait_load_delete_thread = keys.interval_check_update;
    verify_state_change = keys.verify_state_change;
    wait_state_verify = keys.wait_state_verify;
    plugin_timeout = keys.plugin_timeout;
    write_batch_ms = keys.write_batch_ms;
    if (keys.cluster_lease > 0)
      cluster_state =
          std::make_unique<ClusterState>(id_cluster, keys.cluster_node, keys.cluster_lease);
    // The metrics endpoint's socket is opened now, so that an address that cannot be had stops
    // the start.
    if (!keys.metrics_listen.empty()) {
      try {
        metrics = std::make_unique<MetricsServer>(keys.metrics_listen);
      } catch (const std::invalid_argument& e) {
        throw StartupError(metricsListenError(e.what()));
      }
    }

    createStopPipe();  // 11
    if (pthread_create(&threads.watcher, nullptr, thread_stop_watcher, nullptr) != 0)
      throw StartupError("error: can't start the stop watcher thread");
    threads.watcher_started = true;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = HandlerQuit;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sigaction(SIGTERM, &sa, nullptr) != 0) {
      write_log("ERR", "error SIGTERM");
      threads.joinAll();
      return 1;
    }
    sa.sa_handler = HandlerReopenLog;
    if (sigaction(SIGHUP, &sa, nullptr) != 0) {
      write_log("ERR", "error SIGHUP");
      threads.joinAll();
      return 1;
    }

    write_log("INFO", "MAVO Database connection ....");  // 12
    readDatabaseKeys(cfg, &keys, throwBadKey);
    const int connections = keys.connection_number;
    pgsql_timeout = keys.pgsql_timeout;
    const size_t journal_bytes = keys.journal_bytes;
    connectLine = keys.connect_line;
    journal = new ResultJournal(journal_bytes);
    alert_runner = new AlertRunner;
    journal->setAlertRunner(alert_runner);

    write_log("INFO", "Connection database....");  // 13
    pgSQL = new pgConnectionPool(connectLine, 1, pgsql_timeout);
    write_log("INFO", "Connection database sucessful. Encoding: " + pgSQL->getClientEncoding());

    daemon_ctx = daemonContext(journal);
    daemon_ctx.cluster = cluster_state.get();
    if (cluster_state != nullptr) prepareCluster();
    loadErrorMap();         // 14
    cleanDeletedPlugins();  // 15, 16

    write_log("INFO", "Mutex INIT");  // 17: the mutexes are statically initialised
    if (id_cluster != 0) write_log("INFO", "ID CLUSTER: " + std::to_string(id_cluster));

    sleepUnlessStopped(5000);  // 18

    createCores(connections, threads);                                       // 19, 20
    threads.start(thread_monitoring, &daemon_ctx, "status monitor thread");  // 21

    write_log("INFO", "LOAD SERVICE");  // 22
    for (const auto& st : sql::mainStatements(id_cluster))
      pgSQL->prepareRequest(st.name, st.text, st.nparams < 0 ? 0 : st.nparams);
    if (coordinator != nullptr) {
      joinClusterNow();
      coordinator->pass(false);  // the buckets this daemon is to own, and their services
    } else {
      load_script(daemon_ctx, pgSQL, "reloadService");  // 23
    }
    write_log("INFO", "LOAD SERVICE SUCCESS");                               // 24
    write_log("INFO", "START CORE");                                         // 25
    startWorkers();                                                          // 26
    write_log("INFO", "START CORE SUCCESS:" + std::to_string(core_number));  // 27
    if (metrics != nullptr) {
      metrics->start(daemon_ctx, pgsql_timeout * 1000);
      write_log("INFO", "metrics endpoint listening on " + metrics->address());
    }
    if (pthread_create(&threads.journal_writer, nullptr, thread_write_journal, &daemon_ctx) != 0)
      throw StartupError("error: can't start the journal writer thread");
    threads.journal_writer_started = true;
    if (coordinator != nullptr) {
      if (pthread_create(&threads.coordination, nullptr, ClusterCoordinator::thread,
                         coordinator.get()) != 0)
        throw StartupError("error: can't start the cluster coordination thread");
      threads.coordination_started = true;
    }
    threads.start(thread_load_delete_service, &daemon_ctx, "reload thread");  // 28
    write_log("INFO", "MAVO was starting....");
    notifyReady(std::to_string(scheduledServices.size()) + " services scheduled on " +
                std::to_string(core_number) + " cores");
  } catch (const std::exception& e) {
    write_fatal(e.what());
    // Joined but not started: the buckets taken go back at once rather than when the lease ends.
    if (coordinator != nullptr && !threads.coordination_started && cluster_state->leaseValid()) {
      try {
        coordinator->leave();
      } catch (const std::exception&) {
        // the lease ends by itself
      }
    }
    threads.joinAll();
    waitForWorkers();
    releaseAll();
    closeDaemonLog();
    return 1;
  }

  waitForWorkers();  // 29
  // What the batch writer still holds is stored (or kept) before the last attempt at the journal.
  if (batch_writer != nullptr) batch_writer->finish();
  threads.joinJournalWriter();
  writeOrCountJournal();
  // Every run is over and written: the buckets go to the other members at once.
  threads.joinCoordination();
  // The alerts of the incidents written from the journal run side by side, each bounded by
  // plugin_timeout as a worker's own.
  alert_runner->finish();
  threads.joinAll();
  write_log("INFO", "MAVO is stopping....");  // 30
  releaseAll();                               // 31
  closeDaemonLog();
  return 0;  // 32
}
