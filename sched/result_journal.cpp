// Results kept through a database outage. Called by the workers of one core.

#include "sched/result_journal.h"

#include "core/log.h"
#include "core/scoped_lock.h"
#include "db/pool.h"
#include "sched/incidents.h"

ResultJournal::ResultJournal(size_t bound) : bound(bound < 1 ? 1 : bound) {
  pthread_mutex_init(&mutex, nullptr);
}

ResultJournal::~ResultJournal() { pthread_mutex_destroy(&mutex); }

void ResultJournal::appendLocked(JournalEntry&& entry) {
  if (entries.empty() && !replaying)
    write_log("ERR", "database unreachable: results are kept in memory until it is back");
  if (entries.size() >= bound) {
    entries.pop_front();
    if (dropped++ % 1000 == 0)
      write_log("ERR", "database unreachable: more than " + std::to_string(bound) +
                           " results waiting, the oldest are dropped");
  }
  entries.push_back(std::move(entry));
}

bool ResultJournal::appendIfBusy(JournalEntry entry) {
  ScopedLock lock(&mutex);
  if (entries.empty() && !replaying) return false;
  appendLocked(std::move(entry));
  return true;
}

void ResultJournal::append(JournalEntry entry) {
  ScopedLock lock(&mutex);
  appendLocked(std::move(entry));
}

size_t ResultJournal::size() {
  ScopedLock lock(&mutex);
  return entries.size();
}

namespace {

// Writes one entry; returns the incident id for an alert ("-1" when none).
std::string writeEntry(const JournalEntry& e, pgConnectionPool* pool) {
  switch (e.kind) {
    case JournalEntry::kUpdate:
      updateService(e.svc, pool);
      return "-1";
    case JournalEntry::kAcknowledge:
      return acknowledgeIncidents(e.svc, pool);
    case JournalEntry::kInsert:
      return insertIncident(e.svc, e.state, pool);
  }
  return "-1";
}

}  // namespace

bool ResultJournal::replay(pgConnectionPool* pool) {
  {
    ScopedLock lock(&mutex);
    if (replaying) return false;
    if (entries.empty()) return true;
    replaying = true;
  }
  for (;;) {
    JournalEntry e;
    {
      ScopedLock lock(&mutex);
      if (entries.empty()) {
        replaying = false;
        std::string text = "database back: " + std::to_string(written) + " kept results written";
        if (dropped > 0) text += ", " + std::to_string(dropped) + " dropped past the bound";
        written = dropped = 0;
        write_log("INFO", text);
        return true;
      }
      e = std::move(entries.front());
      entries.pop_front();
    }
    std::string ref;
    try {
      ref = writeEntry(e, pool);
    } catch (const PostgresqlException& ex) {
      if (ex.connectionLost()) {
        ScopedLock lock(&mutex);
        entries.push_front(std::move(e));
        replaying = false;
        return false;
      }
      write_log("ERR", "kept result of service " + e.svc.service_id_str + " " + e.svc.service_name +
                           " refused: " + ex.what());
      continue;
    }
    {
      ScopedLock lock(&mutex);
      ++written;
    }
    if (e.alert && !e.svc.program_path.empty()) {
      try {
        write_log("INFO", e.svc.service_name + "Execute alerting software " + ref);
        e.svc.executeAlertingSoftware(ref);
      } catch (const std::exception& ex) {
        write_log("ERR", e.svc.service_name + " " + ex.what());
      }
    }
  }
}
