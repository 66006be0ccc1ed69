// Writes kept while the database cannot take them. Called by every worker (keep, holds, replay)
// and, at the stop, by main (replay, discard). The journal's mutex guards everything; the
// database writes of a replay and the alerting programs after it run without it.

#include "sched/result_journal.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "db/pool.h"
#include "sched/alert_runner.h"
#include "sched/result_writer.h"

namespace {

// A failure of the one write rather than of the database: the row was locked (the request was
// cancelled at its deadline, or the server refused to wait for the lock), or a serialization
// failure or deadlock. That service waits; the others go on.
bool failureOfTheWrite(const PostgresqlException& e) {
  const std::string& s = e.sqlstate();
  return s == "57014" || s == "55P03" || s.compare(0, 2, "40") == 0;
}

std::string label(const RunWrite& w) {
  return w.service_name + " (" + std::to_string(w.service_id) + ")";
}

}  // namespace

ResultJournal::ResultJournal(size_t max_bytes) : max_bytes(max_bytes) {
  pthread_mutex_init(&mutex, nullptr);
  initMonotonicCond(&entries_cond);
}

ResultJournal::~ResultJournal() {
  pthread_cond_destroy(&entries_cond);
  pthread_mutex_destroy(&mutex);
}

void ResultJournal::waitForEntries(long milliseconds) {
  const int64_t until = monotonicMs() + milliseconds;
  timespec ts{static_cast<time_t>(until / 1000), static_cast<long>(until % 1000) * 1000000L};
  ScopedLock lock(&mutex);
  if (count_.load() == 0) pthread_cond_timedwait(&entries_cond, &mutex, &ts);
}

void ResultJournal::wake() {
  ScopedLock lock(&mutex);
  pthread_cond_broadcast(&entries_cond);
}

uint64_t ResultJournal::alertsStarted() const {
  return alerts_.load(std::memory_order_relaxed) + (runner_ != nullptr ? runner_->started() : 0);
}

bool ResultJournal::holds(unsigned long long service_id) {
  if (count_.load(std::memory_order_acquire) == 0) return false;
  ScopedLock lock(&mutex);
  return services.count(service_id) != 0;
}

size_t ResultJournal::bytes() {
  ScopedLock lock(&mutex);
  return bytes_;
}

void ResultJournal::eraseLocked(unsigned long long service_id, std::list<Kept>::iterator it) {
  auto s = services.find(service_id);
  ServiceWrites& sw = s->second;
  bytes_ -= it->bytes;
  plain.erase(it->seq);
  others.erase(it->seq);
  sw.writes.erase(it);
  count_.fetch_sub(1, std::memory_order_acq_rel);
  if (sw.writes.empty() && !sw.in_flight) {
    turn.erase(sw.turn);
    services.erase(s);
  }
}

bool ResultJournal::dropOldestLocked() {
  for (auto* index : {&plain, &others}) {
    for (const auto& [seq, service_id] : *index) {
      ServiceWrites& sw = services.find(service_id)->second;
      auto k = std::find_if(sw.writes.begin(), sw.writes.end(),
                            [seq = seq](const Kept& x) { return x.seq == seq; });
      if (sw.in_flight && k == sw.writes.begin()) continue;
      ++(index == &plain ? dropped_updates : dropped_changes);
      eraseLocked(service_id, k);
      return true;
    }
  }
  return false;
}

void ResultJournal::keep(RunWrite w, const PostgresqlException* why) {
  std::vector<std::string> lines;  // logged once the mutex is released
  // Its COMMIT went unanswered: the server is asked what became of it before it is written again.
  if (const auto* unknown = dynamic_cast<const CommitUnknown*>(why)) {
    w.unresolved_xid = unknown->xid;
    w.unresolved_refs = unknown->refs;
  }
  {
    ScopedLock lock(&mutex);
    const unsigned long long id = w.service_id;
    auto [pos, created] = services.try_emplace(id);
    ServiceWrites& sw = pos->second;
    if (created) sw.turn = turn.insert(turn.end(), id);
    if (why != nullptr) {
      if (why->connectionLost()) {
        if (!said_unreachable)
          lines.push_back("database unreachable: results are kept in memory until it is back");
        said_unreachable = true;
      } else if (failureOfTheWrite(*why)) {
        if (created)
          lines.push_back("write of service " + label(w) + " kept for later: " + why->what());
      } else if (!said_unreachable) {
        lines.push_back("database cannot take the results for now, they are kept in memory: " +
                        std::string(why->what()));
        said_unreachable = true;
      }
    }
    if (w.updateOnly()) {
      // The newer state replaces the kept one (unless that one is being written right now).
      for (auto k = sw.writes.begin(); k != sw.writes.end(); ++k) {
        if (!k->write.updateOnly() || (sw.in_flight && k == sw.writes.begin())) continue;
        bytes_ -= k->bytes;
        plain.erase(k->seq);
        sw.writes.erase(k);
        count_.fetch_sub(1, std::memory_order_acq_rel);
        break;
      }
    }
    Kept kept{next_seq++, std::move(w), 0};
    kept.bytes = kept.write.bytes();
    bytes_ += kept.bytes;
    (kept.write.updateOnly() ? plain : others)[kept.seq] = id;
    sw.writes.push_back(std::move(kept));
    count_.fetch_add(1, std::memory_order_acq_rel);
    pthread_cond_broadcast(&entries_cond);

    const size_t before = dropped_updates + dropped_changes;
    while (bytes_ > max_bytes && dropOldestLocked()) {
    }
    const size_t dropped = dropped_updates + dropped_changes;
    if (dropped > before && (!said_full || dropped / 1000 != before / 1000)) {
      lines.push_back("results kept in memory passed " + std::to_string(max_bytes) +
                      " bytes: the oldest are dropped, state updates first (" +
                      std::to_string(dropped_updates) + " state updates and " +
                      std::to_string(dropped_changes) + " incident writes dropped so far)");
      said_full = true;
    }
  }
  for (const std::string& line : lines) write_log("ERR", line);
}

bool ResultJournal::replay(pgConnectionPool* pool) {
  size_t budget = 0;
  {
    ScopedLock lock(&mutex);
    if (replaying) return false;
    if (count_.load() == 0) return true;
    replaying = true;
    budget = count_.load();
  }
  std::vector<std::pair<RunWrite, std::string>> alerts;
  for (size_t attempt = 0; attempt < budget; ++attempt) {
    unsigned long long id = 0;
    const RunWrite* w = nullptr;
    {
      ScopedLock lock(&mutex);
      const int64_t now = monotonicMs();
      auto next = std::find_if(turn.begin(), turn.end(), [&](unsigned long long sid) {
        return services.find(sid)->second.retry_after_ms <= now;
      });
      if (next == turn.end()) break;
      id = *next;
      turn.splice(turn.end(), turn, next);  // the others come first next time
      ServiceWrites& sw = services.find(id)->second;
      sw.in_flight = true;
      w = &sw.writes.front().write;  // stays put: nothing else removes the write in flight
    }
    enum { kWritten, kLater, kStop } outcome = kWritten;
    RunRefs refs;
    std::unique_ptr<CommitUnknown> unknown;
    try {
      refs = writeRun(*w, pool);
    } catch (const CommitUnknown& e) {
      unknown = std::make_unique<CommitUnknown>(e);
      outcome = kStop;
    } catch (const PostgresqlException& e) {
      if (!e.retryable())
        refs = writeRunStepByStep(*w, pool, "journal");
      else
        outcome = failureOfTheWrite(e) ? kLater : kStop;
    }
    // A write its fence refused is over: a newer owner of the service stores its results.
    if (outcome == kWritten && refs.refused) logRefused(*w);
    const std::string ref = refs.forAlert(*w);
    {
      ScopedLock lock(&mutex);
      ServiceWrites& sw = services.find(id)->second;
      sw.in_flight = false;
      if (unknown != nullptr) {
        sw.writes.front().write.unresolved_xid = unknown->xid;
        sw.writes.front().write.unresolved_refs = unknown->refs;
      }
      if (outcome == kWritten) {
        auto first = sw.writes.begin();
        if (first->write.alert != RunWrite::kNoAlert && !refs.refused)
          alerts.emplace_back(std::move(first->write), ref);
        ++written;
        eraseLocked(id, first);
      } else if (outcome == kLater) {
        sw.retry_after_ms = monotonicMs() + pool->timeoutMs();
      }
    }
    if (outcome == kStop) break;
    // With a runner, an alert starts as soon as its write is in, and the replay goes on.
    if (runner_ != nullptr && !alerts.empty()) {
      runner_->start(std::move(alerts.back().first), std::move(alerts.back().second));
      alerts.pop_back();
    }
  }
  std::string summary;
  {
    ScopedLock lock(&mutex);
    replaying = false;
    if (count_.load() == 0 && (written > 0 || dropped_updates + dropped_changes > 0)) {
      summary = "database back: " + std::to_string(written) + " kept results written";
      if (dropped_updates + dropped_changes > 0)
        summary += ", " + std::to_string(dropped_updates + dropped_changes) +
                   " dropped past the bound (" + std::to_string(dropped_updates) +
                   " state updates, " + std::to_string(dropped_changes) + " incident writes)";
      written = dropped_updates = dropped_changes = 0;
      said_unreachable = said_full = false;
    }
  }
  if (!summary.empty()) write_log("INFO", summary);
  for (const auto& [w, ref] : alerts) runAlert(w, ref, "journal", &alerts_);
  return entries() == 0;
}

std::list<std::pair<unsigned long long, RunWrite>> ResultJournal::snapshot() {
  ScopedLock lock(&mutex);
  std::map<uint64_t, std::pair<unsigned long long, RunWrite>> by_seq;
  for (const auto& [id, sw] : services)
    for (const Kept& k : sw.writes) by_seq.emplace(k.seq, std::make_pair(id, k.write));
  std::list<std::pair<unsigned long long, RunWrite>> out;
  for (auto& [seq, entry] : by_seq) out.push_back(std::move(entry));
  return out;
}

ResultJournal::Left ResultJournal::discard() {
  ScopedLock lock(&mutex);
  Left left;
  left.updates = plain.size();
  left.changes = others.size();
  services.clear();
  turn.clear();
  plain.clear();
  others.clear();
  bytes_ = 0;
  count_.store(0, std::memory_order_release);
  return left;
}
