// Transactions on one leased connection. Run by whichever thread makes one; the lease keeps the
// connection to that thread until the transaction ends.

#include "db/transaction.h"

#include "db/pg_handles.h"
#include "db/statements.h"

PgTransaction::PgTransaction(pgConnectionPool& pool, const char* begin) : lease_(pool) {
  const char* text = begin != nullptr ? begin : sql::kBegin;
  PgResult begun;
  try {
    begun.reset(lease_->executeRequest(text));
  } catch (const PostgresqlException& e) {
    // Nothing has run yet: a connection found lost at BEGIN is re-established and BEGIN sent
    // again, once.
    if (lease_.nested() || !e.connectionLost() || e.timedOut() || !lease_.reestablish()) throw;
    begun.reset(lease_->executeRequest(text));
  }
  if (PQntuples(begun.get()) > 0)
    for (int c = 0; c < PQnfields(begun.get()); ++c)
      begin_values_.emplace_back(PQgetvalue(begun.get(), 0, c));
  backend_ = lease_->backendPid();
}

PgTransaction::~PgTransaction() {
  if (!open_ || !lease_->connected()) return;  // a lost connection took the transaction along
  try {
    PgResult(lease_->executeRequest(sql::kRollback));
  } catch (const std::exception&) {
    // the server drops the transaction with the connection
  }
}

void PgTransaction::commit() {
  open_ = false;
  // Every statement of the transaction ran in one session: a COMMIT in another would commit
  // nothing of it while its statements were taken for done.
  if (lease_->backendPid() != backend_)
    throw PostgresqlException("the transaction's connection was re-established before COMMIT",
                              PgErrorKind::kLost, "");
  PgResult(lease_->executeRequest(sql::kCommit));
}
