// The database engine on SQLite.
//
// A question bank comes from outside and is treated as untrusted input: it is opened read-only with
// SQLite's defensive settings (no writes to the schema or shadow tables, no functions with side
// effects reached from the schema, no triggers, no extension loading, no ATTACH), and its kind is
// told from its first bytes before SQLite sees it, so a wrong file is reported by what it is.
//
// Record sets are materialised when they are opened: every row of the result is read into memory,
// and the statement is finalised at once. Navigation is then plain index arithmetic, the record set
// needs nothing of the database afterwards, and no read transaction stays open while a check runs
// its scoring component. Because a hostile bank can make a tiny file yield an endless result (a
// view over a recursive query), the rows and bytes a record set takes are counted as they are read
// and a progress handler stops a query that runs past its time.
//
// WAL-mode banks. Every connection SQLite makes to a WAL bank writes to its -shm file (a reader
// too), and the last one to close checkpoints the -wal file into the bank and removes both. A bank
// is never written, so a WAL bank is opened as immutable, which reads the bank file alone and
// writes nothing, when its -wal file is absent or empty; when the -wal file holds changes, they
// cannot be read without a write, and the bank is refused with what to do.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

#include "platform/database.h"
#include "platform/sqlite_file.h"
#include "platform/text_encoding.h"
#ifdef _WIN32
#include "windows/platform/wide_text.h"
#endif
#include "vardenix/error.h"

namespace vardenix {
namespace {

constexpr char kNoCurrentRecord[] = "No current record";
// How long a read waits for a writer holding the file (the bank tool, say) before failing.
constexpr int kBusyTimeoutMs = 5000;

[[noreturn]] void FailOpen(DatabaseFailure kind, const std::string& path, const std::string& why) {
  throw DatabaseError(kind, "cannot open the question bank " + path + ": " + why);
}

std::string HexBytes(const uint8_t* bytes, std::size_t count) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += ' ';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0F];
  }
  return out;
}

// Reads the first bytes of the file and throws unless it is an SQLite database; answers whether
// the database is in WAL mode. Looking before SQLite does gives a message that says what the file
// is (SQLite's own "file is not a database" does not), and keeps a folder, a FIFO or a device away
// from it.
bool ExpectSqliteFile(const std::string& path) {
  constexpr DatabaseFailure kUnreadable = DatabaseFailure::kUnreadable;
  constexpr DatabaseFailure kNotABank = DatabaseFailure::kNotABank;
  if (path.empty()) FailOpen(kUnreadable, "\"\"", "no path given");
  if (path.find('\0') != std::string::npos) FailOpen(kUnreadable, path, "the path holds a NUL character");
#ifdef _WIN32
  // A wide path, so that a name outside the ANSI code page opens; Windows has no FIFOs to fear.
  const int fd = ::_wopen(win::Widen(path).c_str(), _O_RDONLY | _O_BINARY);
#else
  // O_NONBLOCK so that opening a FIFO cannot hang; it has no effect on regular files.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
#endif
  if (fd < 0) FailOpen(kUnreadable, path, std::strerror(errno));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    FailOpen(kUnreadable, path, std::strerror(err));
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    FailOpen(kUnreadable, path, "it is a folder");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    FailOpen(kUnreadable, path, "not a regular file");
  }
  std::array<uint8_t, 32> head{};
  std::size_t got = 0;
  while (got < head.size()) {
    const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      FailOpen(kUnreadable, path, std::strerror(err));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);

  static const char kSqlite[] = "SQLite format 3";  // 16 bytes with its NUL
  static const uint8_t kJetLead[] = {0x00, 0x01, 0x00, 0x00};
  const auto starts_with = [&](std::size_t at, const void* bytes, std::size_t n) {
    return got >= at + n && std::memcmp(head.data() + at, bytes, n) == 0;
  };
  // Bytes 18 and 19 of the header, the write and read format versions, are 2 in WAL mode.
  if (starts_with(0, kSqlite, sizeof kSqlite)) return got >= 20 && (head[18] == 2 || head[19] == 2);
  if (got == 0) FailOpen(kNotABank, path, "the file is empty");
  if (starts_with(0, kJetLead, sizeof kJetLead) && starts_with(4, "Standard Jet DB", 15)) {
    FailOpen(kNotABank, path, "a Jet (.mdb) database, which this build cannot read");
  }
  if (starts_with(0, kJetLead, sizeof kJetLead) && starts_with(4, "Standard ACE DB", 15)) {
    FailOpen(kNotABank, path, "an ACE (.accdb) database, which this build cannot read");
  }
  FailOpen(kNotABank, path,
           "not a database (starts with " + HexBytes(head.data(), std::min<std::size_t>(got, 8)) + ")");
}

// What a running query is watched for: its time and the host's stop flag. SQLite calls OnProgress
// every kProgressSteps steps of a statement; a non-zero answer interrupts it.
constexpr int kProgressSteps = 1000;

struct QueryWatch {
  enum class Cause { kNone, kTime, kStop };
  std::chrono::steady_clock::time_point deadline;
  const StopFlag* stop = nullptr;
  Cause cause = Cause::kNone;

  void Start(uint32_t seconds) {
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    cause = Cause::kNone;
  }
  static int OnProgress(void* arg) {
    auto* watch = static_cast<QueryWatch*>(arg);
    if (watch->stop && watch->stop->load(std::memory_order_relaxed)) {
      watch->cause = Cause::kStop;
      return 1;
    }
    if (std::chrono::steady_clock::now() > watch->deadline) {
      watch->cause = Cause::kTime;
      return 1;
    }
    return 0;
  }
};

// A failed step or prepare: its kind and message, a limit named when one stopped it, else SQLite's own.
struct Failure {
  DatabaseFailure kind;
  std::string why;
};

Failure Describe(sqlite3* db, int rc, const QueryWatch& watch, const std::string& path, const Limits& limits) {
  const int primary = rc & 0xFF;
  if (primary == SQLITE_INTERRUPT && watch.cause == QueryWatch::Cause::kStop) {
    return {DatabaseFailure::kStopped, kStoppedDescription};
  }
  if (primary == SQLITE_INTERRUPT && watch.cause == QueryWatch::Cause::kTime) {
    return {DatabaseFailure::kLimit, "the question bank " + path + ": a query ran past the time limit of " +
                                         std::to_string(limits.query_seconds) + " s and was stopped"};
  }
  switch (primary) {
    case SQLITE_TOOBIG:
      return {DatabaseFailure::kLimit, "the question bank " + path + ": a value passes the limit of " +
                                           std::to_string(limits.recordset_bytes) + " bytes for one record set"};
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return {DatabaseFailure::kNotABank, sqlite3_errmsg(db)};
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return {DatabaseFailure::kUnreadable, sqlite3_errmsg(db)};
    case SQLITE_ERROR:
    case SQLITE_RANGE:
    case SQLITE_MISMATCH:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return {DatabaseFailure::kQuery, sqlite3_errmsg(db)};
    default:
      return {DatabaseFailure::kOther, sqlite3_errmsg(db)};
  }
}

// One column value of a row. Text and blobs are both held as Variant::Text (a blob's bytes as they
// are), so FieldSize and GetChunk treat them alike and a blob is copied once, when it is read.
Variant ReadColumn(sqlite3_stmt* stmt, int column) {
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_NULL:
      return Variant::Null();
    case SQLITE_INTEGER: {
      const sqlite3_int64 v = sqlite3_column_int64(stmt, column);
      if (v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max()) {
        return Variant::I4(static_cast<int32_t>(v));
      }
      return Variant::R8(static_cast<double>(v));
    }
    case SQLITE_FLOAT:
      return Variant::R8(sqlite3_column_double(stmt, column));
    case SQLITE_BLOB: {
      // The pointer first, then the size, as SQLite asks; a zero-length blob has a null pointer.
      const void* data = sqlite3_column_blob(stmt, column);
      const int size = sqlite3_column_bytes(stmt, column);
      if (data == nullptr && sqlite3_errcode(sqlite3_db_handle(stmt)) == SQLITE_NOMEM) {
        throw DatabaseError(DatabaseFailure::kOther, "out of memory reading a binary value of the question bank");
      }
      return Variant::Text(data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                                : std::string());
    }
    default: {
      const unsigned char* data = sqlite3_column_text(stmt, column);
      const int size = sqlite3_column_bytes(stmt, column);
      // A text that could not be made (out of memory) is no empty text.
      if (data == nullptr && sqlite3_errcode(sqlite3_db_handle(stmt)) == SQLITE_NOMEM) {
        throw DatabaseError(DatabaseFailure::kOther, "out of memory reading a text value of the question bank");
      }
      return Variant::Text(
          data ? std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size))
               : std::string());
    }
  }
}

class SqliteRecordset final : public Recordset {
 public:
  SqliteRecordset(std::vector<std::string> names, std::vector<std::vector<Variant>> rows)
      : names_(std::move(names)), rows_(std::move(rows)), visited_(rows_.empty() ? 0 : 1) {}

  bool Bof() override {
    ExpectOpen();
    return rows_.empty();  // a Move never leaves the rows, so BOF is only ever the empty set's
  }
  bool Eof() override {
    ExpectOpen();
    return pos_ == Size();
  }
  void MoveFirst() override {
    ExpectOpen();
    if (rows_.empty()) throw RuntimeError(kNoCurrentRecord);
    pos_ = 0;
  }
  void MoveLast() override {
    ExpectOpen();
    if (rows_.empty()) throw RuntimeError(kNoCurrentRecord);
    GoTo(Size() - 1);
  }
  void Move(int32_t rows) override {
    ExpectCurrent();
    const int64_t target = pos_ + rows;
    if (target < 0 || target >= Size()) throw RuntimeError(kNoCurrentRecord);
    GoTo(target);
  }
  void MoveNext() override {
    ExpectCurrent();
    if (pos_ + 1 < Size()) {
      GoTo(pos_ + 1);
    } else {
      pos_ = Size();
    }
  }
  int32_t RecordCount() override {
    ExpectOpen();
    return static_cast<int32_t>(std::min<int64_t>(visited_, std::numeric_limits<int32_t>::max()));
  }

  Variant Value(const std::string& field) override { return Cell(field); }
  bool IsNull(const std::string& field) override { return Cell(field).IsNull(); }
  int64_t FieldSize(const std::string& field) override { return static_cast<int64_t>(Bytes(field).size()); }
  std::vector<uint8_t> GetChunk(const std::string& field, int64_t offset, int64_t count) override {
    if (offset < 0 || count < 0) {
      throw RuntimeError("invalid chunk of field " + field + ": offset " + std::to_string(offset) +
                         ", count " + std::to_string(count));
    }
    const std::string& bytes = Bytes(field);
    const auto size = static_cast<int64_t>(bytes.size());
    const int64_t start = std::min(offset, size);
    const int64_t end = start + std::min(count, size - start);
    return std::vector<uint8_t>(bytes.begin() + start, bytes.begin() + end);
  }

  void Close() override {
    closed_ = true;
    rows_.clear();
    rows_.shrink_to_fit();
  }

 private:
  int64_t Size() const { return static_cast<int64_t>(rows_.size()); }
  void GoTo(int64_t row) {
    pos_ = row;
    visited_ = std::max(visited_, row + 1);
  }
  void ExpectOpen() const {
    if (closed_) throw RuntimeError("the record set is closed");
  }
  void ExpectCurrent() const {
    ExpectOpen();
    if (pos_ >= Size()) throw RuntimeError(kNoCurrentRecord);
  }
  const Variant& Cell(const std::string& field) const {
    ExpectOpen();
    const auto it = std::find_if(names_.begin(), names_.end(),
                                 [&](const std::string& name) { return EqualsIgnoringAsciiCase(name, field); });
    if (it == names_.end()) throw RuntimeError("no field named " + field + " in the record set");
    ExpectCurrent();
    return rows_[static_cast<std::size_t>(pos_)][static_cast<std::size_t>(it - names_.begin())];
  }
  // The bytes of a text or binary value; a Null value has none.
  const std::string& Bytes(const std::string& field) const {
    static const std::string kNone;
    const Variant& cell = Cell(field);
    if (cell.IsNull()) return kNone;
    if (cell.type() != VarType::Text)
      throw RuntimeError("field " + field + " holds a number, not text or bytes");
    return cell.text();
  }

  std::vector<std::string> names_;
  std::vector<std::vector<Variant>> rows_;
  int64_t pos_ = 0;      // the current row; Size() is EOF
  int64_t visited_ = 0;  // one past the furthest row that has been current
  bool closed_ = false;
};

// Finalises a statement on every path out of OpenRecordset.
struct StatementCloser {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

class SqliteDatabase final : public Database {
 public:
  SqliteDatabase(sqlite3* db, std::string path, const Limits& limits, std::unique_ptr<QueryWatch> watch)
      : db_(db), path_(std::move(path)), limits_(limits), watch_(std::move(watch)) {}
  ~SqliteDatabase() override { Close(); }
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  std::unique_ptr<Recordset> OpenRecordset(const std::string& query, const std::vector<Variant>& params,
                                           uint64_t value_bytes) override {
    if (!db_) throw DatabaseError(DatabaseFailure::kOther, "the question bank " + path_ + " is closed");
    watch_->Start(limits_.query_seconds);
    // SQLite refuses a value over its length limit before it reads or makes it; the query's budget
    // lowers that limit while it runs.
    const int connection_limit = sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, -1);
    const int query_limit = value_bytes == 0 ? connection_limit
                                             : static_cast<int>(std::min<uint64_t>(value_bytes, connection_limit));
    sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, query_limit);
    struct RestoreLimit {
      sqlite3* db;
      int limit;
      ~RestoreLimit() { sqlite3_limit(db, SQLITE_LIMIT_LENGTH, limit); }
    } restore{db_, connection_limit};
    const auto too_large = [&] {
      return ValueTooLarge("the question bank " + path_ + ": a value is over the limit of " +
                           std::to_string(query_limit) + " bytes");
    };
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (query.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
      throw DatabaseError(DatabaseFailure::kQuery, "the query is too long");
    }
    // A rejected query is described by SQLite's own message, which names the table, column or
    // token at fault ("no such table: Tbl_Operation").
    const int prepared = sqlite3_prepare_v2(db_, query.data(), static_cast<int>(query.size()), &raw, &tail);
    if (prepared != SQLITE_OK) {
      const Failure failure = Describe(db_, prepared, *watch_, path_, limits_);
      throw DatabaseError(failure.kind, failure.why);
    }
    Statement stmt(raw);
    if (!stmt) throw DatabaseError(DatabaseFailure::kQuery, "the query is empty");
    if (tail && std::any_of(tail, query.data() + query.size(), [](char c) {
          return c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != ';';
        })) {
      throw DatabaseError(DatabaseFailure::kQuery, "the query holds more than one statement");
    }
    if (!sqlite3_stmt_readonly(stmt.get())) {
      throw DatabaseError(DatabaseFailure::kQuery, "the query would change the question bank");
    }
    Bind(stmt.get(), params);

    const int columns = sqlite3_column_count(stmt.get());
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      const char* name = sqlite3_column_name(stmt.get(), c);
      if (!name) throw DatabaseError(DatabaseFailure::kOther, "out of memory reading the query's field names");
      names.emplace_back(name);
    }
    std::vector<std::vector<Variant>> rows;
    // What the rows take in memory: each row's cells and the bytes of its text and binary values.
    uint64_t bytes = 0;
    const uint64_t row_overhead =
        sizeof(std::vector<Variant>) + static_cast<uint64_t>(columns) * sizeof(Variant);
    for (;;) {
      const int rc = sqlite3_step(stmt.get());
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) {
        if ((rc & 0xFF) == SQLITE_TOOBIG && value_bytes != 0) throw too_large();
        const Failure failure = Describe(db_, rc, *watch_, path_, limits_);
        // A stop and a limit say what happened in their own words (a limit names the bank).
        if (failure.kind == DatabaseFailure::kStopped || failure.kind == DatabaseFailure::kLimit) {
          throw DatabaseError(failure.kind, failure.why);
        }
        throw DatabaseError(failure.kind, "cannot read the question bank " + path_ + ": " + failure.why);
      }
      if (rows.size() >= limits_.recordset_rows) {
        throw DatabaseError(DatabaseFailure::kLimit,
                            "the question bank " + path_ + ": a query's result passes the limit of " +
                                std::to_string(limits_.recordset_rows) + " rows for one record set");
      }
      bytes += row_overhead;
      for (int c = 0; c < columns; ++c) {
        const int type = sqlite3_column_type(stmt.get(), c);
        if (type == SQLITE_TEXT || type == SQLITE_BLOB) bytes += static_cast<uint64_t>(sqlite3_column_bytes(stmt.get(), c));
      }
      if (bytes > limits_.recordset_bytes) {
        throw DatabaseError(DatabaseFailure::kLimit,
                            "the question bank " + path_ + ": a query's result passes the limit of " +
                                std::to_string(limits_.recordset_bytes) + " bytes for one record set");
      }
      std::vector<Variant>& row = rows.emplace_back();
      row.reserve(static_cast<std::size_t>(columns));
      for (int c = 0; c < columns; ++c) row.push_back(ReadColumn(stmt.get(), c));
    }
    return std::make_unique<SqliteRecordset>(std::move(names), std::move(rows));
  }

  void Close() override {
    if (!db_) return;
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    // _v2: the connection goes once the last statement is finalised, so the order of the two does
    // not matter even on an error path.
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }

 private:
  void Bind(sqlite3_stmt* stmt, const std::vector<Variant>& params) {
    const int wanted = sqlite3_bind_parameter_count(stmt);
    if (static_cast<std::size_t>(wanted) != params.size()) {
      throw DatabaseError(DatabaseFailure::kQuery, "the query has " + std::to_string(wanted) + " parameters but " +
                         std::to_string(params.size()) + " values were given");
    }
    for (int i = 0; i < wanted; ++i) {
      const Variant& v = params[static_cast<std::size_t>(i)];
      const int at = i + 1;
      int rc = SQLITE_OK;
      switch (v.type()) {
        case VarType::Empty:
        case VarType::Null:
          rc = sqlite3_bind_null(stmt, at);
          break;
        case VarType::Bool:
          rc = sqlite3_bind_int(stmt, at, v.bool_value());
          break;
        case VarType::I2:
          rc = sqlite3_bind_int(stmt, at, v.i2());
          break;
        case VarType::I4:
          rc = sqlite3_bind_int(stmt, at, v.i4());
          break;
        case VarType::R4:
        case VarType::R8:
          rc = sqlite3_bind_double(stmt, at, v.r8());
          break;
        case VarType::Text:
          // With its length, so that a NUL inside the value is part of it and not its end.
          rc = sqlite3_bind_text64(stmt, at, v.text().data(), v.text().size(), SQLITE_TRANSIENT, SQLITE_UTF8);
          break;
      }
      if (rc != SQLITE_OK)
        throw DatabaseError(DatabaseFailure::kOther,
                            "cannot bind query parameter " + std::to_string(at) + ": " + sqlite3_errmsg(db_));
    }
  }

  sqlite3* db_;
  std::string path_;
  Limits limits_;
  std::unique_ptr<QueryWatch> watch_;  // the progress handler's argument: its address stays put
};

// The size of the file at `path`, or -1 when there is none.
int64_t FileSize(const std::string& path) {
#ifdef _WIN32
  struct _stat64 st;
  if (::_wstat64(win::Widen(path).c_str(), &st) != 0) return -1;
#else
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
#endif
  return static_cast<int64_t>(st.st_size);
}

void RefusedFunction(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_error(context, "printf() and format() are not available to a question bank", -1);
}

class SqliteEngine final : public DatabaseEngine {
 public:
  std::unique_ptr<Database> OpenDatabase(const std::string& path, const Limits& limits,
                                         const StopFlag* stop) override {
    const bool wal = ExpectSqliteFile(path);
    // A rollback journal beside a bank, WAL or not, is left to the read-only connection, which never
    // plays it back.
    if (!wal || FileSize(path + "-journal") >= 0) return Connect(path, Mode::kReadOnly, limits, stop);
    // Any connection SQLite makes to a WAL bank writes to its -shm file, and the last one to close
    // checkpoints the -wal file into the bank; a bank is never written. So a WAL bank is read as
    // immutable, which writes nothing, when its -wal file holds nothing the bank lacks; otherwise
    // reading its changes would need a write, and it is refused with what to do.
    if (FileSize(path + "-wal") > 0) {
      FailOpen(DatabaseFailure::kUnreadable, path,
               "it is in WAL mode and its -wal file holds changes not yet written into it, which cannot be "
               "read without writing to the bank's files (a check never writes to a bank): finish the work "
               "on the bank, or copy it with its -wal file to another folder, run sqlite3 COPY "
               "'PRAGMA journal_mode=DELETE' on the copy, and check the copy");
    }
    return Connect(path, Mode::kImmutable, limits, stop);
  }

 private:
  enum class Mode { kReadOnly, kImmutable };

  static std::unique_ptr<Database> Connect(const std::string& path, Mode mode, const Limits& limits,
                                           const StopFlag* stop) {
    const std::string uri = SqliteFileUri(path) + (mode == Mode::kImmutable ? "?immutable=1" : "");
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(uri.c_str(), &raw, flags, nullptr);
    auto watch = std::make_unique<QueryWatch>();
    watch->stop = stop;
    QueryWatch& watching = *watch;
    // From here the database object owns the connection and closes it on every path.
    auto db = std::make_unique<SqliteDatabase>(raw, path, limits, std::move(watch));
    if (rc != SQLITE_OK) FailOpen(DatabaseFailure::kUnreadable, path, raw ? sqlite3_errmsg(raw) : "out of memory");
    sqlite3_extended_result_codes(raw, 1);

    const auto config = [&](int op, int value) {
      if (sqlite3_db_config(raw, op, value, nullptr) != SQLITE_OK) {
        FailOpen(DatabaseFailure::kOther, path, sqlite3_errmsg(raw));
      }
    };
    config(SQLITE_DBCONFIG_DEFENSIVE, 1);
    config(SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0);
    config(SQLITE_DBCONFIG_ENABLE_TRIGGER, 0);
    config(SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0);
    // printf() and format() give NULL, not an error, for a result over the length limit: through
    // them a view could make an over-long value read as no value. A bank has no use for them.
    for (const char* name : {"printf", "format"}) {
      if (sqlite3_create_function_v2(raw, name, -1, SQLITE_UTF8, nullptr, &RefusedFunction, nullptr, nullptr,
                                     nullptr) != SQLITE_OK) {
        FailOpen(DatabaseFailure::kOther, path, sqlite3_errmsg(raw));
      }
    }
    sqlite3_limit(raw, SQLITE_LIMIT_ATTACHED, 0);
    // No single value may pass the budget of a whole record set; SQLite then refuses it before
    // reading it into memory.
    sqlite3_limit(raw, SQLITE_LIMIT_LENGTH,
                  static_cast<int>(std::min<uint64_t>(limits.recordset_bytes, std::numeric_limits<int>::max())));
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    sqlite3_progress_handler(raw, kProgressSteps, &QueryWatch::OnProgress, &watching);
    watching.Start(limits.query_seconds);
    // trusted_schema also as the pragma, so the setting reads the same both ways; cell_size_check
    // catches some corruption of an untrusted file before it is acted on; query_only refuses writes
    // as well; reading the schema now reports a damaged file when it is opened rather than at its
    // first query.
    const char* setup =
        "PRAGMA trusted_schema=OFF; PRAGMA cell_size_check=ON; PRAGMA query_only=ON; "
        "SELECT count(*) FROM sqlite_schema;";
    const int setup_rc = sqlite3_exec(raw, setup, nullptr, nullptr, nullptr);
    if (setup_rc != SQLITE_OK) {
      const Failure failure = Describe(raw, setup_rc, watching, path, limits);
      if (failure.kind == DatabaseFailure::kStopped) throw DatabaseError(failure.kind, failure.why);
      // The schema is the bank's, not a query of the caller's: what SQLite rejects in it is damage.
      FailOpen(failure.kind == DatabaseFailure::kQuery ? DatabaseFailure::kNotABank : failure.kind, path,
               failure.why);
    }
    return db;
  }
};

}  // namespace

DatabaseEngine& SystemDatabaseEngine() {
  static SqliteEngine engine;
  return engine;
}

}  // namespace vardenix
