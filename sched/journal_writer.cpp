// The journal's writer thread. It takes, one at a time, the journal's mutex (inside the
// journal's calls) and each pool's mutexes (inside its requests); it holds no lock of its own.
// Its requests find out whether a lost database is back: while a pool's database is lost, a
// worker's request fails at once and the worker keeps its write, so the time a probe waits
// for a database that does not answer is spent here. It also asks a trivial question of a core
// pool that has had no answer for half its timeout (an idle daemon), so that the time of the
// last answer, which the health check reads, stays current.

#include "sched/journal_writer.h"

#include <signal.h>

#include "core/log.h"
#include "core/settings.h"
#include "db/pool.h"
#include "sched/context.h"
#include "sched/info_thread.h"
#include "sched/result_journal.h"

namespace {
// Pause between two passes while writes stay kept.
const long kRetryMs = 1000;
}  // namespace

void askIdlePools(const SchedContext& ctx) {
  const int64_t now = monotonicMs();
  for (infoThread* core : *ctx.cores) {
    pgConnectionPool* pool = core->pool;
    if (pool == nullptr) continue;
    const int64_t last = pool->stats().last_answer_ms.load(std::memory_order_relaxed);
    if (now - last > pool->timeoutMs() / 2) pool->probe();
    if (stopRequested()) return;
  }
}

bool writeJournalOnce(const SchedContext& ctx) {
  ResultJournal& journal = *ctx.journal;
  pgConnectionPool* answering = nullptr;
  for (infoThread* core : *ctx.cores) {
    if (core->pool->answering() || core->pool->probe()) {
      if (answering == nullptr) answering = core->pool;
    }
    if (stopRequested()) return journal.entries() == 0;
  }
  if (answering == nullptr) return journal.entries() == 0;
  return journal.replay(answering);
}

void* thread_write_journal(void* arg) {
  const SchedContext& ctx = *static_cast<const SchedContext*>(arg);
  ResultJournal* journal = ctx.journal;

  clearThreadSignalMask();

  while (!stopRequested()) {
    try {
      journal->waitForEntries(kRetryMs);
      if (stopRequested()) break;
      askIdlePools(ctx);
      if (journal->entries() == 0) continue;
      if (!writeJournalOnce(ctx)) sleepUnlessStopped(kRetryMs);
    } catch (const std::exception& e) {
      write_log("ERR", std::string("journal writer: ") + e.what());
      sleepUnlessStopped(kRetryMs);
    }
  }
  return nullptr;
}
