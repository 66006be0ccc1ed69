#pragma once
// The one object that writes a run's outcome: the worker hands it the writes of each step of a
// cycle (state, acknowledgement, incident, alert decision), and it alone decides between the
// database and the journal.

#include <string>

#include "sched/incidents.h"

class BatchWriter;
class pgConnectionPool;
class ResultJournal;

// Logs a write the fence refused: its service's bucket has moved on to another member.
void logRefused(const RunWrite& w);

class ResultWriter {
 public:
  // journal may be null: writes the database cannot take are then logged and lost. batch, when
  // given, takes every write (stored with others, its alert started after the commit).
  ResultWriter(pgConnectionPool* pool, ResultJournal* journal, BatchWriter* batch = nullptr)
      : pool_(pool), journal_(journal), batch_(batch) {}

  // Writes w, or keeps it in the journal when earlier writes of the service wait there or the
  // database cannot take it now. Returns true when it was written: *refs then says what came
  // back, and the caller starts the alert (unless refs->refused: the fence refused it, its
  // bucket being another member's now; that is logged). False when it was kept, or handed to
  // the batch writer: its alert starts once it is written. A write the server refuses is written
  // statement by statement, each failure logged.
  bool write(const RunWrite& w, const std::string& tid, RunRefs* refs);

 private:
  pgConnectionPool* pool_;
  ResultJournal* journal_;
  BatchWriter* batch_;
};
