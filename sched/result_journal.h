#pragma once
// Writes the database could not take (lost or hung, read-only, a locked row), kept in memory and
// written when it takes them again. One journal per daemon, shared by every core.
//
// Per service the writes stay in order, and a service whose writes wait here has its later
// ones appended rather than written, so that none overtakes another; other services write
// directly. Of a service's plain state updates only the latest is kept (a newer one replaces
// it); acknowledgements and incidents are kept in order. The journal is bounded in bytes: past
// the bound the oldest state updates are dropped first, incidents only when none is left.
// Every operation takes the journal's mutex; no database call or alerting run happens under it.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <unordered_map>

#include "sched/incidents.h"

class AlertRunner;
class pgConnectionPool;
class PostgresqlException;

// Bound of the journal when the configuration sets none.
constexpr size_t kDefaultJournalBytes = 64u * 1024 * 1024;

class ResultJournal {
 public:
  explicit ResultJournal(size_t max_bytes = kDefaultJournalBytes);
  ~ResultJournal();
  ResultJournal(const ResultJournal&) = delete;
  ResultJournal& operator=(const ResultJournal&) = delete;

  // Whether writes of the service wait here; no lock is taken while the journal is empty.
  bool holds(unsigned long long service_id);
  // Keeps w after the service's earlier writes. why: the failure that sent it here, or null when
  // it follows writes of the service that are waiting.
  void keep(RunWrite w, const PostgresqlException* why);
  // Writes the kept writes, services in turn, each service's in order, until the database
  // fails again; a service whose write waited in vain for a lock (or hit a serialization
  // failure) is tried again after a pause while the others go on. A write the server refuses
  // is written statement by statement, each failure logged. Only one thread replays at a time;
  // the others return at once. The alerting programs of written incidents run after the journal
  // is let go of, on the alert runner when one is set (see setAlertRunner). Returns true when
  // nothing is left.
  bool replay(pgConnectionPool* pool);
  // From now on the alerts of written incidents are handed to runner (which must outlive the
  // replays) instead of run by the replaying thread.
  void setAlertRunner(AlertRunner* runner) { runner_ = runner; }

  size_t entries() { return count_.load(std::memory_order_acquire); }
  // Alerting programs started for written incidents.
  uint64_t alertsStarted() const;
  // Returns once a write is kept, wake() is called or milliseconds have passed.
  void waitForEntries(long milliseconds);
  void wake();
  size_t bytes();
  // Kept writes oldest first, by service id (tests look at the order).
  std::list<std::pair<unsigned long long, RunWrite>> snapshot();

  // What is still kept, dropped: plain state updates, and writes with acknowledgements or
  // incidents. For the stop, once the last attempt to write them is over.
  struct Left {
    size_t updates = 0;
    size_t changes = 0;
  };
  Left discard();

 private:
  struct Kept {
    uint64_t seq;
    RunWrite write;
    size_t bytes;
  };
  struct ServiceWrites {
    std::list<Kept> writes;      // oldest first
    bool in_flight = false;      // the first write is being written
    int64_t retry_after_ms = 0;  // not before this point of the monotonic clock
    std::list<unsigned long long>::iterator turn;
  };
  // Removes one kept write (not the one in flight); the service goes when it has none left.
  void eraseLocked(unsigned long long service_id, std::list<Kept>::iterator it);
  // Drops the oldest plain state update, else the oldest other write; false when none can go.
  bool dropOldestLocked();

  pthread_mutex_t mutex;
  pthread_cond_t entries_cond;                                     // a write was kept, or wake()
  std::unordered_map<unsigned long long, ServiceWrites> services;  // guarded by mutex
  std::list<unsigned long long> turn;  // guarded by mutex: services in the order replay takes
  std::map<uint64_t, unsigned long long> plain;   // guarded by mutex: seq of plain updates
  std::map<uint64_t, unsigned long long> others;  // guarded by mutex: seq of the other writes
  std::atomic<size_t> count_{0};                  // kept writes; changed under mutex
  std::atomic<uint64_t> alerts_{0};
  AlertRunner* runner_ = nullptr;  // set before the first replay
  size_t bytes_ = 0;               // guarded by mutex
  const size_t max_bytes;
  uint64_t next_seq = 0;   // guarded by mutex
  bool replaying = false;  // guarded by mutex
  // Since the journal was last empty; guarded by mutex.
  bool said_unreachable = false;
  bool said_full = false;
  size_t written = 0;
  size_t dropped_updates = 0;
  size_t dropped_changes = 0;
};
