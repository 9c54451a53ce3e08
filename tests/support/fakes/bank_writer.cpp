#include "tests/support/fakes/bank_writer.h"

#include <sqlite3.h>

#include "platform/sqlite_file.h"
#include "vardenix/error.h"

namespace vardenix::fakes {

void RunSqlOnBank(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(SqliteFileUri(path).c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close_v2(db);
  if (rc != SQLITE_OK) throw RuntimeError(path + ": " + message);
}

struct OpenBank::Connection {
  std::string path;
  sqlite3* db = nullptr;
  ~Connection() { sqlite3_close_v2(db); }
};

OpenBank::OpenBank(const std::string& path) : connection_(std::make_unique<Connection>()) {
  connection_->path = path;
  if (sqlite3_open_v2(SqliteFileUri(path).c_str(), &connection_->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI,
                      nullptr) != SQLITE_OK) {
    throw RuntimeError(path + ": " + (connection_->db ? sqlite3_errmsg(connection_->db) : "out of memory"));
  }
}

OpenBank::~OpenBank() = default;

void OpenBank::Run(const std::string& sql) {
  if (sqlite3_exec(connection_->db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw RuntimeError(connection_->path + ": " + sqlite3_errmsg(connection_->db));
  }
}

}  // namespace vardenix::fakes
