#pragma once
// A transaction on one connection of a pool.

#include <string>
#include <vector>

#include "db/pool.h"

// BEGIN when made, ROLLBACK when destroyed without commit(). While it lives, the thread's
// requests on the pool run on the transaction's connection (see pgConnectionPool::Lease), and
// none of them is sent again on a re-established connection: a connection lost inside the
// transaction fails every later statement of it. commit() checks that the connection is still
// the server session that began it. Throws PostgresqlException.
class PgTransaction {
 public:
  explicit PgTransaction(pgConnectionPool& pool, const char* begin = nullptr);
  ~PgTransaction();
  PgTransaction(const PgTransaction&) = delete;
  PgTransaction& operator=(const PgTransaction&) = delete;

  void commit();
  pgSafeThread& connection() { return lease_.connection(); }
  // The first row the begin text returned, by column ("" when it returned no row, or the value
  // is NULL): a begin text of several statements can ask for something of the new transaction
  // (its id, say).
  const std::string& beginValue(int column = 0) const {
    static const std::string kNone;
    return column < static_cast<int>(begin_values_.size()) ? begin_values_[column] : kNone;
  }

 private:
  pgConnectionPool::Lease lease_;
  int backend_ = 0;  // the server session that ran BEGIN
  bool open_ = true;
  std::vector<std::string> begin_values_;
};
