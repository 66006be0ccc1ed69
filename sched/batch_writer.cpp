// The daemon's batch writer. Workers of every core call submit and afterWrites; the writer's own
// thread takes the batches and writes them on one core's pool (its requests wait at most the
// pool's timeout, and fail at once while the database is found lost: the writes are then kept,
// and the journal's writer finds out when it is back). mutex_ guards the queue and the batch in
// progress and is taken alone; no database call, journal call or alert happens under it.

#include "sched/batch_writer.h"

#include <libpq-fe.h>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_set>

#include "core/clock.h"
#include "core/log.h"
#include "core/scoped_lock.h"
#include "core/settings.h"
#include "db/array_text.h"
#include "db/pg_handles.h"
#include "db/pool.h"
#include "db/statements.h"
#include "db/transaction.h"
#include "sched/alert_runner.h"
#include "sched/result_journal.h"
#include "sched/result_writer.h"

namespace {

// A write made a second or more after its run stores the run's time (as a write of one run).
const int64_t kLateMs = 1000;

std::string ageOf(const RunWrite& w, int64_t now_ms) {
  const int64_t age = now_ms - w.ended_ms;
  return w.ended_ms != 0 && age >= kLateMs ? std::to_string(age) + " milliseconds" : "0";
}

std::set<unsigned long long> idsOf(const PGresult* r) {
  std::set<unsigned long long> ids;
  for (int i = 0; i < PQntuples(r); ++i)
    ids.insert(std::stoull(PQgetvalue(const_cast<PGresult*>(r), i, 0)));
  return ids;
}

// service id -> the first incident id a statement returned for it.
std::map<unsigned long long, std::string> firstIds(PGresult* r) {
  std::map<unsigned long long, std::string> ids;
  for (int i = 0; i < PQntuples(r); ++i)
    ids.emplace(std::stoull(PQgetvalue(r, i, 0)), PQgetvalue(r, i, 1));
  return ids;
}

}  // namespace

BatchWriter::BatchWriter(pgConnectionPool* pool, ResultJournal* journal, AlertRunner* alerts,
                         Settings settings)
    : pool_(pool),
      journal_(journal),
      alerts_(alerts),
      settings_(settings),
      batch_rows_({1, 2, 5, 10, 20, 50, 100, 200, 500, 1000}),
      write_delay_({0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}) {
  pthread_mutex_init(&mutex_, nullptr);
  initMonotonicCond(&cond_);
  initMonotonicCond(&drained_);
}

BatchWriter::~BatchWriter() {
  finish();
  pthread_cond_destroy(&drained_);
  pthread_cond_destroy(&cond_);
  pthread_mutex_destroy(&mutex_);
}

void BatchWriter::start() {
  if (pthread_create(&thread_, nullptr, &BatchWriter::loop, this) != 0)
    throw std::runtime_error("error: can't start a batch writer thread");
  started_ = true;
}

void BatchWriter::submit(RunWrite w) {
  ScopedLock lock(&mutex_);
  queue_.push_back(Entry{std::move(w), nullptr, false});
  pthread_cond_signal(&cond_);
}

void BatchWriter::afterWrites(unsigned long long service_id, std::function<void()> done) {
  {
    ScopedLock lock(&mutex_);
    const bool waiting = busy_ || std::any_of(queue_.begin(), queue_.end(), [&](const Entry& e) {
                           return !e.marker && e.write.service_id == service_id;
                         });
    if (waiting) {
      Entry marker;
      marker.write.service_id = service_id;
      marker.done = std::move(done);
      marker.marker = true;
      queue_.push_back(std::move(marker));
      pthread_cond_signal(&cond_);
      return;
    }
  }
  done();
}

void BatchWriter::finish() {
  {
    ScopedLock lock(&mutex_);
    finishing_ = true;
    pthread_cond_broadcast(&cond_);
  }
  if (started_) {
    pthread_join(thread_, nullptr);
    started_ = false;
  }
}

void* BatchWriter::loop(void* self) {
  clearThreadSignalMask();
  static_cast<BatchWriter*>(self)->run();
  return nullptr;
}

void BatchWriter::takeBatch(std::vector<RunWrite>* writes,
                            std::vector<std::function<void()>>* markers) {
  // One write of a service per batch; a service with an entry left behind keeps everything of
  // it behind that entry, in order.
  std::unordered_set<unsigned long long> taken, behind;
  std::deque<Entry> left;
  for (Entry& e : queue_) {
    const unsigned long long id = e.write.service_id;
    if (behind.count(id) != 0 || writes->size() >= settings_.max_rows) {
      behind.insert(id);
      left.push_back(std::move(e));
    } else if (e.marker) {
      markers->push_back(std::move(e.done));
    } else if (taken.insert(id).second) {
      writes->push_back(std::move(e.write));
    } else {
      behind.insert(id);
      left.push_back(std::move(e));
    }
  }
  queue_.swap(left);
}

void BatchWriter::run() {
  pthread_mutex_lock(&mutex_);
  for (;;) {
    while (queue_.empty() && !finishing_) pthread_cond_wait(&cond_, &mutex_);
    if (queue_.empty()) break;  // finishing, and everything is written
    // The first write waits a little for others, unless enough are there already.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const timespec until = addMilliseconds(now, settings_.window_ms);
    while (queue_.size() < settings_.max_rows && !finishing_) {
      if (pthread_cond_timedwait(&cond_, &mutex_, &until) != 0) break;
    }
    std::vector<RunWrite> writes;
    std::vector<std::function<void()>> markers;
    takeBatch(&writes, &markers);
    busy_ = true;
    pthread_mutex_unlock(&mutex_);
    try {
      flush(writes);
    } catch (const std::exception& e) {
      write_log("ERR", std::string("batch writer: ") + e.what());
    }
    for (auto& done : markers) done();
    pthread_mutex_lock(&mutex_);
    busy_ = false;
    pthread_cond_broadcast(&drained_);
  }
  pthread_mutex_unlock(&mutex_);
}

void BatchWriter::flush(std::vector<RunWrite>& writes) {
  // A service whose earlier writes wait in the journal has this one kept after them; a new
  // incident of a state without an error kind is written alone (the server refuses it, and the
  // others would be written one by one for it).
  std::vector<RunWrite> batch, alone;
  for (RunWrite& w : writes) {
    if (journal_ != nullptr && journal_->holds(w.service_id))
      journal_->keep(std::move(w), nullptr);
    else if (w.incident != 0 && w.error_id.empty())
      alone.push_back(std::move(w));
    else
      batch.push_back(std::move(w));
  }
  std::vector<Outcome> outcomes = writeBatch(batch);
  std::vector<Outcome> single;
  writeOneByOne(alone, &single);
  for (size_t i = 0; i < alone.size(); ++i) {
    batch.push_back(std::move(alone[i]));
    outcomes.push_back(single[i]);
  }
  // Alerts once their incidents are stored, each with its id.
  for (size_t i = 0; i < batch.size(); ++i) {
    const Outcome& o = outcomes[i];
    if (o.kept || o.refs.refused || batch[i].alert == RunWrite::kNoAlert) continue;
    const std::string ref = o.refs.forAlert(batch[i]);
    if (alerts_ != nullptr)
      alerts_->start(std::move(batch[i]), ref);
    else
      runAlert(batch[i], ref, "batch");
  }
}

std::vector<BatchWriter::Outcome> BatchWriter::writeBatch(std::vector<RunWrite>& batch) {
  std::vector<Outcome> out(batch.size());
  if (batch.empty()) return out;
  pgConnectionPool::NoProbe no_probe;
  std::vector<size_t> todo(batch.size());
  for (size_t i = 0; i < batch.size(); ++i) todo[i] = i;
  // With several daemons the batch holds this member's lock (shared) before it reads its fence,
  // in the begin's round trip: a member taking its buckets over waits for the batch to end.
  const WriteFence& first = batch[0].fence;
  const std::string begin =
      first.set() ? sql::cluster::batchBeginFenced(first.lock_key, first.cluster, first.node)
                  : sql::kBeginBatch;
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      PgTransaction transaction(*pool_, begin.c_str());
      auto idArray = [&](const std::vector<size_t>& which) {
        ArrayText a;
        for (size_t i : which) a.add(static_cast<long long>(batch[i].service_id));
        return a.str();
      };
      if (attempt == 1) {
        // A row held by another session: the others are written, that one waits alone.
        PgResult locked(pool_->executePrepareRequest("BatchLock", {idArray(todo)}));
        const std::set<unsigned long long> free_rows = idsOf(locked.get());
        std::vector<size_t> rest;
        for (size_t i : todo) {
          if (free_rows.count(batch[i].service_id) != 0) {
            rest.push_back(i);
            continue;
          }
          out[i].kept = true;
          keepAsHeld(batch[i]);
        }
        todo.swap(rest);
      }
      // With several daemons: the writes made before another member took buckets of this one
      // (its fence has moved on since) touch nothing.
      const WriteFence& fence = batch[todo.empty() ? 0 : todo[0]].fence;
      if (fence.set() && !todo.empty()) {
        const std::string& now_fence = transaction.beginValue(1);  // "" (NULL): not a member
        const int64_t current = now_fence.empty() ? -1 : std::atoll(now_fence.c_str());
        std::vector<size_t> rest;
        for (size_t i : todo) {
          if (batch[i].fence.member_fence == current)
            rest.push_back(i);
          else
            out[i].refs.refused = true;
        }
        todo.swap(rest);
      }
      const int64_t now = monotonicMs();
      ArrayText u_ids, u_states, u_outputs, u_ages, a_ids, a_ages;
      ArrayText i_errors, i_devices, i_ids, i_ages, i_messages;
      for (size_t i : todo) {
        const RunWrite& w = batch[i];
        const std::string age = ageOf(w, now);
        if (w.update) {
          u_ids.add(static_cast<long long>(w.service_id));
          u_states.add(w.state);
          u_outputs.add(w.output);
          u_ages.add(age);
        }
        if (w.acknowledge) {
          a_ids.add(static_cast<long long>(w.service_id));
          a_ages.add(age);
        }
        if (w.incident != 0) {
          i_errors.add(w.error_id);
          i_devices.add(static_cast<long long>(w.device_id));
          i_ids.add(static_cast<long long>(w.service_id));
          i_ages.add(age);
          i_messages.add(w.message);
        }
      }
      std::set<unsigned long long> stored;
      std::map<unsigned long long, std::string> acknowledged, opened;
      if (!u_ids.empty()) {
        PgResult r(pool_->executePrepareRequest(
            "BatchUpdateState", {u_ids.str(), u_states.str(), u_outputs.str(), u_ages.str()}));
        stored = idsOf(r.get());
      }
      if (!a_ids.empty()) {
        PgResult r(pool_->executePrepareRequest("BatchAcquitte", {a_ids.str(), a_ages.str()}));
        acknowledged = firstIds(r.get());
      }
      if (!i_ids.empty()) {
        PgResult r(pool_->executePrepareRequest(
            "BatchInsertErrorHappen",
            {i_errors.str(), i_devices.str(), i_ids.str(), i_ages.str(), i_messages.str()}));
        opened = firstIds(r.get());
      }
      for (size_t i : todo) {
        const unsigned long long id = batch[i].service_id;
        RunRefs& refs = out[i].refs;
        refs.stored = batch[i].update && stored.count(id) != 0;
        if (auto a = acknowledged.find(id); a != acknowledged.end()) refs.acknowledged = a->second;
        if (auto o = opened.find(id); o != opened.end()) refs.opened = o->second;
      }
      try {
        transaction.commit();
      } catch (const PostgresqlException& e) {
        if (!e.mayHaveRun()) throw;
        // The answer to the COMMIT was lost: each write is kept with the transaction's id, and
        // the server is asked later what became of it (never written twice).
        for (size_t i : todo) {
          out[i].kept = true;
          const CommitUnknown unknown(e, transaction.beginValue(), out[i].refs);
          if (journal_ != nullptr) journal_->keep(batch[i], &unknown);
        }
        return out;
      }
      const int64_t committed = monotonicMs();
      batch_rows_.observe(static_cast<double>(todo.size()));
      for (size_t i : todo)
        if (batch[i].ended_ms != 0)
          write_delay_.observe(static_cast<double>(committed - batch[i].ended_ms) / 1000.0);
      break;
    } catch (const PostgresqlException& e) {
      if (attempt == 0 && e.sqlstate() == "55P03") continue;  // again, without the held rows
      // One of them the server refuses (or an incident row is held): each is written alone,
      // but none waits for a row another session holds, which is kept in the journal.
      if (!e.retryable() || e.sqlstate() == "55P03") keepHeld(batch, &todo, &out);
      std::vector<RunWrite> rest;
      std::vector<size_t> where;
      for (size_t i : todo) {
        out[i] = Outcome();
        rest.push_back(batch[i]);
        where.push_back(i);
      }
      std::vector<Outcome> done;
      if (e.retryable() && e.sqlstate() != "55P03")
        keepAll(rest, e, &done);
      else
        writeOneByOne(rest, &done);
      for (size_t k = 0; k < where.size(); ++k) out[where[k]] = done[k];
      break;
    }
  }
  for (size_t i = 0; i < batch.size(); ++i)
    if (out[i].refs.refused && !out[i].kept) logRefused(batch[i]);
  return out;
}

void BatchWriter::keepHeld(std::vector<RunWrite>& batch, std::vector<size_t>* todo,
                           std::vector<Outcome>* out) {
  try {
    PgTransaction transaction(*pool_, sql::kBeginBatch);
    ArrayText ids;
    for (size_t i : *todo) ids.add(static_cast<long long>(batch[i].service_id));
    PgResult locked(pool_->executePrepareRequest("BatchLock", {ids.str()}));
    const std::set<unsigned long long> free_rows = idsOf(locked.get());
    std::vector<size_t> rest;
    for (size_t i : *todo) {
      if (free_rows.count(batch[i].service_id) != 0) {
        rest.push_back(i);
        continue;
      }
      (*out)[i].kept = true;
      keepAsHeld(batch[i]);
    }
    todo->swap(rest);
    transaction.commit();
  } catch (const PostgresqlException&) {
    // the writes one by one find out
  }
}

void BatchWriter::keepAsHeld(const RunWrite& w) {
  const PostgresqlException why(
      "the row of service " + std::to_string(w.service_id) + " is locked by another session",
      PgErrorKind::kTransient, "55P03");
  if (journal_ != nullptr) journal_->keep(w, &why);
}

void BatchWriter::writeOneByOne(std::vector<RunWrite>& batch, std::vector<Outcome>* out) {
  out->assign(batch.size(), Outcome());
  ResultWriter single(pool_, journal_);
  for (size_t i = 0; i < batch.size(); ++i)
    (*out)[i].kept = !single.write(batch[i], "batch", &(*out)[i].refs);
}

void BatchWriter::keepAll(std::vector<RunWrite>& batch, const PostgresqlException& why,
                          std::vector<Outcome>* out) {
  out->assign(batch.size(), Outcome());
  for (size_t i = 0; i < batch.size(); ++i) {
    (*out)[i].kept = true;
    if (journal_ != nullptr) {
      journal_->keep(batch[i], &why);
    } else {
      write_log("ERR", "result of service " + batch[i].service_name + " (" +
                           std::to_string(batch[i].service_id) + ") not written: " + why.what());
    }
  }
}
