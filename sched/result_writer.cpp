// Decides, for each write of a worker's cycle, between the database and the journal. Runs in
// the worker threads; the journal takes its own lock, the pool its own.

#include "sched/result_writer.h"

#include "core/log.h"
#include "db/pool.h"
#include "sched/batch_writer.h"
#include "sched/result_journal.h"

void logRefused(const RunWrite& w) {
  write_log("INFO", "result of service " + w.service_name + " (" + std::to_string(w.service_id) +
                        ") not stored: bucket " + std::to_string(w.fence.bucket) +
                        " is no longer this daemon's at epoch " + std::to_string(w.fence.epoch));
}

bool ResultWriter::write(const RunWrite& w, const std::string& tid, RunRefs* refs) {
  *refs = RunRefs();
  if (batch_ != nullptr) {
    batch_->submit(w);  // it keeps the service's order, the journal's included
    return false;
  }
  // A service whose earlier writes wait must not overtake them.
  if (journal_ != nullptr && journal_->holds(w.service_id)) {
    journal_->keep(w, nullptr);
    return false;
  }
  try {
    // While the database is found lost, the write is kept at once: the journal's writer finds
    // out when it is back.
    pgConnectionPool::NoProbe no_probe;
    *refs = writeRun(w, pool_);
    if (refs->refused) logRefused(w);
    return true;
  } catch (const PostgresqlException& e) {
    if (e.retryable()) {
      if (journal_ != nullptr) {
        journal_->keep(w, &e);
        return false;
      }
    } else if (w.statements() > 1) {
      *refs = writeRunStepByStep(w, pool_, tid);
      if (refs->refused) logRefused(w);
      return true;
    }
    if (w.update)
      write_log("ERR", tid + "#Update service state failed: " + std::to_string(w.service_id) + " " +
                           w.service_name + " " + e.what());
    else if (w.acknowledge)
      write_log("ERR", std::string("EXEC AcquitteErrorHappen failed in function AcquitteError: ") +
                           e.what());
    else
      write_log("ERR", std::string("insert error failed:  ") + e.what());
    return !e.retryable();
  }
}
