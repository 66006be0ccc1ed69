#pragma once
// Stores the writes of many runs together: the workers (of every core) hand their writes over
// and go on; one thread gathers them for a short window (or until a number of rows), and
// stores them in one transaction with set-based statements (the state updates as one statement
// over arrays, the acknowledgements as one, the new incidents as one that gives each its id),
// then starts their alerts. What the database cannot take goes to the journal, as a worker's
// own write would.
//
// A run's writes are still committed together, each service's writes stay in order (a batch
// takes at most one write of a service, and none of a service whose writes wait in the journal),
// a row another session holds does not hold up the others (it waits alone, in the journal), a
// write the server refuses for its data does not lose the others (the batch is then written run
// by run, and only that one is dropped), and with several daemons per identifier every write
// carries its bucket's epoch (a stale one is refused).

#include <pthread.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/histogram.h"
#include "sched/incidents.h"

class AlertRunner;
class ResultJournal;
class pgConnectionPool;

class BatchWriter {
 public:
  struct Settings {
    int window_ms = 50;     // how long the first write of a batch waits for others
    size_t max_rows = 500;  // runs of one batch at most
  };
  // pool: a core's (its statements prepared); journal may be null (writes that cannot be
  // stored are then dropped and logged); alerts: where the alerts of stored writes start.
  BatchWriter(pgConnectionPool* pool, ResultJournal* journal, AlertRunner* alerts,
              Settings settings);
  ~BatchWriter();  // finish()
  BatchWriter(const BatchWriter&) = delete;
  BatchWriter& operator=(const BatchWriter&) = delete;

  // Starts the writing thread.
  void start();
  // Hands a run's write over; it is stored within the window, or kept. Never waits for the
  // database.
  void submit(RunWrite w);
  // done() is called once every write of service_id handed over so far is over (stored,
  // refused or kept in the journal); at once when none is waiting.
  void afterWrites(unsigned long long service_id, std::function<void()> done);
  // Stores (or keeps) everything handed over, then ends the thread. Called at the stop, after
  // the workers have left.
  void finish();

  // What the metrics show: the runs of each batch, and the time from a run's end to the commit
  // of its write.
  const Histogram& batchRows() const { return batch_rows_; }
  const Histogram& writeDelay() const { return write_delay_; }

  // One batch, written now on the calling thread (the writing thread's step; tests call it).
  // Returns what became of each write, in order: refs filled for those stored or refused;
  // kept ones are in the journal.
  struct Outcome {
    RunRefs refs;
    bool kept = false;
  };
  std::vector<Outcome> writeBatch(std::vector<RunWrite>& batch);

 private:
  struct Entry {
    RunWrite write;
    std::function<void()> done;  // a marker: called once the service's earlier writes are over
    bool marker = false;
  };
  static void* loop(void* self);
  void run();
  // Takes the next batch from the queue (under mutex_), and the markers that follow it.
  void takeBatch(std::vector<RunWrite>* writes, std::vector<std::function<void()>>* markers);
  void flush(std::vector<RunWrite>& writes);
  // A batch that failed with a data error: written run by run, each as a worker's write is.
  void writeOneByOne(std::vector<RunWrite>& batch, std::vector<Outcome>* out);
  void keepAll(std::vector<RunWrite>& batch, const PostgresqlException& why,
               std::vector<Outcome>* out);
  // Takes out of todo (into the journal) the writes whose row another session holds.
  void keepHeld(std::vector<RunWrite>& batch, std::vector<size_t>* todo, std::vector<Outcome>* out);
  void keepAsHeld(const RunWrite& w);

  pgConnectionPool* pool_;
  ResultJournal* journal_;
  AlertRunner* alerts_;
  const Settings settings_;
  pthread_mutex_t mutex_;
  pthread_cond_t cond_;      // a write came, or finishing
  pthread_cond_t drained_;   // the queue was emptied and the batch in progress is over
  std::deque<Entry> queue_;  // guarded by mutex_
  bool busy_ = false;        // guarded by mutex_: a batch is being written
  bool finishing_ = false;   // guarded by mutex_
  bool started_ = false;
  pthread_t thread_;
  Histogram batch_rows_;
  Histogram write_delay_;
};
