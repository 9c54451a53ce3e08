#include "authoring/bank_schema.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sqlite_file.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

// C_RecNo, C_Module and C_DataCode are what the checks look rows up by; declaring them NOCASE makes
// the indexes NOCASE too, so the checks' case-blind equality tests are answered from the index.
// C_QuestionType is NOCASE for the same comparison, though it is not indexed (the subject code
// narrows Tbl_Contract to a handful of rows). Tbl_Operation.C_RecNo is not unique: a bank may hold
// a number twice, and the checks read the first row.
const std::vector<std::string> kTotalSchema = {
    "CREATE TABLE Tbl_Contract ("
    "C_DataCode TEXT COLLATE NOCASE, "
    "C_QuestionType TEXT COLLATE NOCASE, "
    "I_ContractCode INTEGER, "
    "C_Module TEXT COLLATE NOCASE)",
    "CREATE INDEX Idx_Contract_DataCode ON Tbl_Contract (C_DataCode COLLATE NOCASE)",
};

const std::vector<std::string> kSubjectSchema = {
    "CREATE TABLE Tbl_Public ("
    "C_Module TEXT COLLATE NOCASE, "
    "C_RecNo TEXT COLLATE NOCASE)",
    "CREATE TABLE Tbl_Operation ("
    "C_RecNo TEXT COLLATE NOCASE, "
    "M_Answer TEXT, "
    "O_Rudecont BLOB)",
    "CREATE INDEX Idx_Public_Module ON Tbl_Public (C_Module COLLATE NOCASE)",
    "CREATE INDEX Idx_Operation_RecNo ON Tbl_Operation (C_RecNo COLLATE NOCASE)",
};

struct StatementCloser {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

}  // namespace

const std::vector<std::string>& BankSchema(BankKind kind) {
  return kind == BankKind::Total ? kTotalSchema : kSubjectSchema;
}

struct BankWriter::State {
  BankKind kind;
  std::string path;
  sqlite3* db = nullptr;
  Statement insert_contract, insert_public, insert_operation;

  ~State() {
    insert_contract.reset();
    insert_public.reset();
    insert_operation.reset();
    if (db) sqlite3_close_v2(db);  // an open transaction is rolled back
  }

  [[noreturn]] void Fail(const std::string& what) const {
    throw RuntimeError("cannot " + what + " the question bank " + path + ": " +
                       (db ? sqlite3_errmsg(db) : "out of memory"));
  }
  void Exec(const std::string& sql, const char* what) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(what);
  }
  Statement Prepare(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) Fail("prepare writes to");
    return Statement(raw);
  }
  void BindText(sqlite3_stmt* stmt, int at, const std::optional<std::string>& value) {
    const int rc =
        value ? sqlite3_bind_text64(stmt, at, value->data(), value->size(), SQLITE_TRANSIENT, SQLITE_UTF8)
              : sqlite3_bind_null(stmt, at);
    if (rc != SQLITE_OK) Fail("write");
  }
  void BindInt(sqlite3_stmt* stmt, int at, const std::optional<int32_t>& value) {
    const int rc = value ? sqlite3_bind_int(stmt, at, *value) : sqlite3_bind_null(stmt, at);
    if (rc != SQLITE_OK) Fail("write");
  }
  void BindBlob(sqlite3_stmt* stmt, int at, const std::optional<std::vector<uint8_t>>& value) {
    // A zero-length blob is a value, not NULL: bind it through zeroblob so a null data pointer of an
    // empty vector is not taken for NULL.
    int rc;
    if (!value) {
      rc = sqlite3_bind_null(stmt, at);
    } else if (value->empty()) {
      rc = sqlite3_bind_zeroblob(stmt, at, 0);
    } else {
      rc = sqlite3_bind_blob64(stmt, at, value->data(), value->size(), SQLITE_STATIC);
    }
    if (rc != SQLITE_OK) Fail("write");
  }
  void Run(sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (rc != SQLITE_DONE) Fail("write");
  }
  void Expect(BankKind wanted, const char* table) const {
    if (!db) throw RuntimeError("the question bank " + path + " is already committed");
    if (kind != wanted) {
      throw RuntimeError(std::string("cannot add to ") + table + ": the question bank " + path + " is a " +
                         (kind == BankKind::Total ? "total" : "subject") + " bank");
    }
  }
};

BankWriter::BankWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
BankWriter::~BankWriter() = default;

std::unique_ptr<BankWriter> BankWriter::Create(BankKind kind, const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    throw RuntimeError("cannot create the question bank \"" + path + "\": not a valid path");
  }
  // O_EXCL makes "never overwrite a bank" atomic; an empty file is a valid new SQLite database.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw RuntimeError("cannot create the question bank " + path + ": " + std::strerror(errno));
  ::close(fd);

  auto state = std::make_unique<State>();
  state->kind = kind;
  state->path = path;
  try {
    const int rc = sqlite3_open_v2(SqliteFileUri(path).c_str(), &state->db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI, nullptr);
    if (rc != SQLITE_OK) state->Fail("open");
    sqlite3_extended_result_codes(state->db, 1);
    // Rollback journal, not WAL: a bank is then one file, which readers can open read-only from
    // a read-only folder.
    state->Exec("PRAGMA journal_mode=DELETE", "set up");
    state->Exec("PRAGMA application_id=" + std::to_string(kBankApplicationId), "set up");
    state->Exec("PRAGMA user_version=" + std::to_string(kBankFormatVersion), "set up");
    state->Exec("BEGIN", "create");
    for (const std::string& sql : BankSchema(kind)) state->Exec(sql, "create the tables of");
    state->Exec("COMMIT", "create");
    state->Exec("BEGIN", "write");
    if (kind == BankKind::Total) {
      state->insert_contract = state->Prepare(
          "INSERT INTO Tbl_Contract (C_DataCode, C_QuestionType, I_ContractCode, C_Module) VALUES (?, ?, ?, "
          "?)");
    } else {
      state->insert_public = state->Prepare("INSERT INTO Tbl_Public (C_Module, C_RecNo) VALUES (?, ?)");
      state->insert_operation =
          state->Prepare("INSERT INTO Tbl_Operation (C_RecNo, M_Answer, O_Rudecont) VALUES (?, ?, ?)");
    }
  } catch (...) {
    state.reset();
    ::unlink(path.c_str());
    throw;
  }
  return std::unique_ptr<BankWriter>(new BankWriter(std::move(state)));
}

void BankWriter::AddContract(const ContractRow& row) {
  state_->Expect(BankKind::Total, "Tbl_Contract");
  sqlite3_stmt* stmt = state_->insert_contract.get();
  state_->BindText(stmt, 1, row.data_code);
  state_->BindText(stmt, 2, row.question_type);
  state_->BindInt(stmt, 3, row.contract_code);
  state_->BindText(stmt, 4, row.module);
  state_->Run(stmt);
}

void BankWriter::AddPublic(const PublicRow& row) {
  state_->Expect(BankKind::Subject, "Tbl_Public");
  sqlite3_stmt* stmt = state_->insert_public.get();
  state_->BindText(stmt, 1, row.module);
  state_->BindText(stmt, 2, row.rec_no);
  state_->Run(stmt);
}

void BankWriter::AddOperation(const OperationRow& row) {
  state_->Expect(BankKind::Subject, "Tbl_Operation");
  sqlite3_stmt* stmt = state_->insert_operation.get();
  state_->BindText(stmt, 1, row.rec_no);
  state_->BindText(stmt, 2, row.answer);
  state_->BindBlob(stmt, 3, row.content);
  state_->Run(stmt);
}

void BankWriter::AddQuestion(const std::optional<std::string>& module,
                             const std::optional<std::string>& rec_no,
                             const std::optional<std::string>& answer,
                             const std::optional<std::vector<uint8_t>>& content) {
  AddPublic({module, rec_no});
  AddOperation({rec_no, answer, content});
}

void BankWriter::Commit() {
  if (!state_->db) throw RuntimeError("the question bank " + state_->path + " is already committed");
  state_->Exec("COMMIT", "write");
  state_->insert_contract.reset();
  state_->insert_public.reset();
  state_->insert_operation.reset();
  if (sqlite3_close(state_->db) != SQLITE_OK) state_->Fail("close");
  state_->db = nullptr;
}

}  // namespace vardenix
