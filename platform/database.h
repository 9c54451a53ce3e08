// The database engine seam: question banks opened read-only, queried through record sets with the
// navigation of the record sets the checks were written for (BOF/EOF, MoveFirst, MoveLast, Move n,
// MoveNext, RecordCount) and fields read by name.
//
// Ownership: a Recordset holds its rows and needs nothing of the Database that opened it once it
// is open, so it may be released after that database is closed (or destroyed). Close() on either
// may be called more than once; any other call after Close() throws RuntimeError. Objects are used by one
// thread at a time. The engine itself is process-wide and created on first use.
//
// The engine is SQLite (docs/question-banks.md gives the bank format). It reads a record set's rows
// when the record set is opened, so its size is that of the query's result: query for the rows
// wanted (one record number, one module), not for a whole table of archives. The limits given when
// the database was opened bound that size and the time a query may take.
//
// Values read from a field: text -> Text; an integer -> I4 when it fits 32 bits, else R8; a real
// -> R8; NULL -> Null; a binary value -> Text holding its bytes as they are (they need not be
// UTF-8), which FieldSize and GetChunk read as well.
//
// Text equality in a query is SQLite's: byte for byte unless a collation says otherwise. The bank
// writer declares the looked-up fields COLLATE NOCASE, and queries write `=? COLLATE NOCASE` so
// that banks from elsewhere compare the same way; NOCASE folds the ASCII letters only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/limits.h"
#include "platform/variant.h"
#include "vardenix/error.h"

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
  // Length in bytes of a long binary (or text) value; 0 for Null. A number throws.
  virtual int64_t FieldSize(const std::string& field) = 0;
  // Up to `count` bytes of the value from `offset` (fewer at its end, none from beyond it or for
  // Null). A negative offset or count, or a number, throws.
  virtual std::vector<uint8_t> GetChunk(const std::string& field, int64_t offset, int64_t count) = 0;
};

class Database : public Closable {
 public:
  // Runs a query; `?` placeholders are bound to `params` in order (values are never pasted into
  // the text): Text as text (a NUL inside it included), Bool/I2/I4 as integers, R4/R8 as reals,
  // Empty and Null as NULL. Throws DatabaseError (kQuery) with the engine's message when the query is
  // rejected ("no such table: Tbl_Operation"), when the number of values differs from the number of
  // placeholders, or when the query holds more than one statement or would change the database.
  //
  // `value_bytes`, when not 0, is the budget of each value the query yields: one longer than that
  // (stored or computed) throws ValueTooLarge before it is read into memory, never an empty or
  // shortened value. The record set's own limits hold as well.
  virtual std::unique_ptr<Recordset> OpenRecordset(const std::string& query, const std::vector<Variant>& params = {},
                                                   uint64_t value_bytes = 0) = 0;
};

// What kind of failure a database failure is. Callers decide by the kind, never by the message,
// which is for the user (it names the bank and what was wrong) and may hold any text a bank holds.
enum class DatabaseFailure {
  kStopped,     // the stop flag stopped a query (or the opening)
  kUnreadable,  // the bank is missing, a folder, not a regular file, or cannot be opened or read as it stands
  kNotABank,    // the file is not a database this engine reads (empty, Jet, a zip, ...) or is damaged
  kLimit,       // a query passed a limit: its time, the rows or bytes of a record set, a value's budget
  kQuery,       // the query was rejected: a table or field the bank lacks, the wrong number of values, more
                // than one statement, a change to the bank
  kOther,       // anything else (a closed database, memory running out)
};

// Every failure of DatabaseEngine::OpenDatabase and Database::OpenRecordset; the record set's own
// calls (navigation, fields) throw plain RuntimeError.
class DatabaseError : public RuntimeError {
 public:
  DatabaseError(DatabaseFailure kind, const std::string& description) : RuntimeError(description), kind_(kind) {}
  DatabaseFailure kind() const noexcept { return kind_; }

 private:
  DatabaseFailure kind_;
};

// A value of a query passed the budget given with it (Database::OpenRecordset); of kind kLimit.
class ValueTooLarge : public DatabaseError {
 public:
  explicit ValueTooLarge(const std::string& description) : DatabaseError(DatabaseFailure::kLimit, description) {}
};

class DatabaseEngine {
 public:
  virtual ~DatabaseEngine() = default;
  // Opens a question bank for reading; nothing is ever written to it through the Database. Throws
  // DatabaseError naming the file when it is missing or a folder (kUnreadable), or not a database
  // this engine reads (kNotABank, saying what was found: "the file is empty", "a Jet (.mdb) database,
  // which this build cannot read", "not a database (starts with 50 4B 03 04 ...)"), or when SQLite
  // finds it damaged (kNotABank).
  //
  // `limits` bound every record set of the database: a result of more than recordset_rows rows or
  // recordset_bytes bytes in memory, or a query (or the opening itself) running past query_seconds,
  // throws DatabaseError (kLimit) naming the bank and the limit. When `stop` is set while a query
  // runs, the query is stopped and throws DatabaseError (kStopped). `stop` must outlive the Database.
  //
  // A bank in WAL mode is read without a write to any of its files (the bank, -wal, -shm): as it
  // stands when its -wal file is absent or empty; one whose -wal file holds changes not yet in the
  // bank throws (kUnreadable) saying so and what to do, since SQLite cannot read them without writing.
  virtual std::unique_ptr<Database> OpenDatabase(const std::string& path, const Limits& limits,
                                                 const StopFlag* stop) = 0;
  // With the default limits and no stop flag.
  std::unique_ptr<Database> OpenDatabase(const std::string& path) { return OpenDatabase(path, Limits(), nullptr); }
};

// The process-wide engine (SQLite), created on first use (thread-safe).
DatabaseEngine& SystemDatabaseEngine();

}  // namespace vardenix
