// The database engine seam: question banks opened read-only, queried through record sets with the
// navigation of the record sets the checks were written for (BOF/EOF, MoveFirst, MoveLast, Move n,
// MoveNext, RecordCount) and fields read by name.
//
// Ownership: a Recordset must not outlive the Database that opened it. Close() on either may be
// called more than once; any other call after Close() throws RuntimeError. Objects are used by one
// thread at a time. The engine itself is process-wide and created on first use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/variant.h"

namespace vardenix {

// Something with a "Close" operation; CloseObject (checks/) closes through it.
class Closable {
 public:
  virtual ~Closable() = default;
  virtual void Close() = 0;
};

class Recordset : public Closable {
 public:
  // Both Bof() and Eof() are true for a record set without rows.
  virtual bool Bof() = 0;
  virtual bool Eof() = 0;
  virtual void MoveFirst() = 0;
  virtual void MoveLast() = 0;
  // Moves `rows` from the current row; leaving the rows throws "No current record".
  virtual void Move(int32_t rows) = 0;
  // From the last row this reaches EOF; at EOF it throws "No current record".
  virtual void MoveNext() = 0;
  // Rows visited so far; after MoveLast the whole list.
  virtual int32_t RecordCount() = 0;

  // Fields of the current row, by name without regard to case. At BOF/EOF these throw
  // "No current record"; an unknown field throws naming it.
  virtual Variant Value(const std::string& field) = 0;
  virtual bool IsNull(const std::string& field) = 0;
  // Length in bytes of a long binary (or text) value.
  virtual int64_t FieldSize(const std::string& field) = 0;
  // Up to `count` bytes of the value from `offset`.
  virtual std::vector<uint8_t> GetChunk(const std::string& field, int64_t offset, int64_t count) = 0;
};

class Database : public Closable {
 public:
  // Runs a query; `?` placeholders are bound to `params` in order (values are never pasted into
  // the text). Throws RuntimeError with the engine's message when the query is rejected.
  virtual std::unique_ptr<Recordset> OpenRecordset(const std::string& query,
                                                   const std::vector<Variant>& params = {}) = 0;
};

class DatabaseEngine {
 public:
  virtual ~DatabaseEngine() = default;
  // Opens a question bank read-only. Throws RuntimeError naming the file when it is missing or not
  // a database this engine reads (saying what was found).
  virtual std::unique_ptr<Database> OpenDatabase(const std::string& path) = 0;
};

// The process-wide engine (SQLite), created on first use (thread-safe).
DatabaseEngine& SystemDatabaseEngine();

}  // namespace vardenix
