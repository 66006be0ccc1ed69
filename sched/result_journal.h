#pragma once
// Results a core could not write while its database was unreachable, kept in order and written
// when the database is back. One journal per core: a service stays on its core, so the order of
// each service's writes is kept. Every operation takes the journal's mutex; no database call
// or alerting run happens under it.

#include <pthread.h>

#include <cstddef>
#include <deque>

#include "service/service.h"

class pgConnectionPool;

struct JournalEntry {
  enum Kind { kUpdate, kAcknowledge, kInsert };
  Kind kind = kUpdate;
  service svc;         // the service as it was when the write was due
  int state = 0;       // state of the incident to open (kInsert)
  bool alert = false;  // start the service's alerting program with the incident id afterwards
};

class ResultJournal {
 public:
  explicit ResultJournal(size_t bound);
  ~ResultJournal();
  ResultJournal(const ResultJournal&) = delete;
  ResultJournal& operator=(const ResultJournal&) = delete;

  // Appends the entry when earlier writes are still waiting (or being written), so that it
  // cannot overtake them; false when the journal is idle and the caller may write directly.
  bool appendIfBusy(JournalEntry entry);
  // Appends unconditionally (the caller's own write has just failed on a lost connection).
  // Past the bound the oldest entry is dropped and counted.
  void append(JournalEntry entry);
  // Writes the entries in order until the database fails again on a lost connection. An entry
  // the server refuses is logged and dropped. Only one thread replays at a time; the others
  // return at once. Returns true when nothing is left waiting.
  bool replay(pgConnectionPool* pool);
  size_t size();

 private:
  void appendLocked(JournalEntry&& entry);

  pthread_mutex_t mutex;
  std::deque<JournalEntry> entries;  // guarded by mutex
  size_t bound;
  size_t dropped = 0;      // guarded by mutex: entries lost past the bound since the outage began
  size_t written = 0;      // guarded by mutex: entries written since the outage began
  bool replaying = false;  // guarded by mutex
};
