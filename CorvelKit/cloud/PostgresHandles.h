#pragma once

#include <memory>

#include <libpq-fe.h>

namespace corvel::cloud {

// Owning handles of libpq. Only the PostgreSQL store's source includes this header.
struct PostgresFinisher {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct PostgresResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
struct PostgresNotifyFreer {
  void operator()(PGnotify* notify) const { PQfreemem(notify); }
};

using PostgresConnection = std::unique_ptr<PGconn, PostgresFinisher>;
using PostgresResult = std::unique_ptr<PGresult, PostgresResultClearer>;
using PostgresNotify = std::unique_ptr<PGnotify, PostgresNotifyFreer>;

}  // namespace corvel::cloud
