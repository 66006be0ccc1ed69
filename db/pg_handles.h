#pragma once
// Owning handles for libpq objects.

#include <libpq-fe.h>

#include <memory>

struct PGresultDeleter {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
struct PGconnDeleter {
  void operator()(PGconn* c) const noexcept { PQfinish(c); }
};
using PgResult = std::unique_ptr<PGresult, PGresultDeleter>;
using PgConn = std::unique_ptr<PGconn, PGconnDeleter>;
