#pragma once

#include <memory>

#include <sqlite3.h>

namespace corvel::cloud {

// Owning handles of the SQLite C API. Only the SQLite store's source includes this header.
struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

using SqliteConnection = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

}  // namespace corvel::cloud
