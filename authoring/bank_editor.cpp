#include "authoring/bank_editor.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/sqlite_file.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

struct StatementCloser {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

std::optional<std::string> ColumnText(sqlite3_stmt* stmt, int col) {
  if (sqlite3_column_type(stmt, col) == SQLITE_NULL) return std::nullopt;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
  return std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(stmt, col)));
}

// One open bank file. The destructor closes it, rolling back a transaction left open by a failure.
class BankFile {
 public:
  BankFile(const std::string& path, bool writable) : path_(path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) Throw(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) Throw("not a file");
    // No SQLITE_OPEN_CREATE: a bank that is not there is an error, never a new empty file.
    const int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_URI;
    if (sqlite3_open_v2(SqliteFileUri(path).c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      // A failed open still gives a handle, which must be closed; the destructor does not run
      // for an object whose constructor throws.
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close_v2(db_);
      db_ = nullptr;
      Throw(why);
    }
    sqlite3_busy_timeout(db_, 2000);
    // Beside the schema check of the writes: nothing stored in the file runs with what the tools do.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  }
  ~BankFile() {
    if (db_) sqlite3_close_v2(db_);
  }
  BankFile(const BankFile&) = delete;
  BankFile& operator=(const BankFile&) = delete;

  [[noreturn]] void Throw(const std::string& why) const {
    throw RuntimeError("cannot use the question bank " + path_ + ": " + why);
  }
  [[noreturn]] void Fail() const { Throw(db_ ? sqlite3_errmsg(db_) : "out of memory"); }

  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
  }
  Statement Prepare(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) Fail();
    return Statement(raw);
  }
  bool HasTable(const char* table) {
    Statement stmt = Prepare("SELECT 1 FROM sqlite_master WHERE type='table' AND name=? COLLATE NOCASE");
    sqlite3_bind_text(stmt.get(), 1, table, -1, SQLITE_STATIC);
    return Step(stmt.get());
  }
  void Require(const char* table, const char* kind) {
    if (!HasTable(table)) Throw(std::string("it is not a ") + kind + " bank (it has no " + table + ")");
  }
  // Throws unless every schema object of the bank is one the bank tools make for a bank of `kind`,
  // word for word. A trigger would run with the tool's writes (one that deletes rows turns "added"
  // into a loss), a view or a changed table would take them elsewhere; such a bank was made or
  // changed by something else, and the tools leave it as it is. SQLite's own objects (sqlite_...)
  // are its business and pass.
  void ExpectOnlyOwnSchema(BankKind kind) {
    const std::vector<std::string>& own = BankSchema(kind);
    Statement objects = Prepare("SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY rowid");
    std::string foreign;
    int count = 0;
    while (Step(objects.get())) {
      const std::string type = ColumnText(objects.get(), 0).value_or("");
      const std::string name = ColumnText(objects.get(), 1).value_or("");
      const std::string table = ColumnText(objects.get(), 2).value_or("");
      const std::optional<std::string> sql = ColumnText(objects.get(), 3);
      if (sqlite3_strnicmp(name.c_str(), "sqlite_", 7) == 0) continue;
      if (sql && std::find(own.begin(), own.end(), *sql) != own.end()) continue;
      if (++count > 3) continue;
      if (!foreign.empty()) foreign += ", ";
      foreign += type + " " + name;
      if (type == "trigger" || (type == "index" && table != name)) foreign += " on " + table;
      if (type == "table" && sql) foreign += " (changed or unknown)";
    }
    if (count > 3) foreign += " and " + std::to_string(count - 3) + " more";
    if (!foreign.empty()) {
      Throw("it holds schema objects that vardenix bank did not make (" + foreign +
            "); it is left unchanged");
    }
  }
  // True for a row, false when done.
  bool Step(sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail();
    return false;
  }
  void BindText(sqlite3_stmt* stmt, int at, const std::optional<std::string>& value) {
    const int rc = value ? sqlite3_bind_text64(stmt, at, value->data(), value->size(), SQLITE_TRANSIENT,
                                               SQLITE_UTF8)
                         : sqlite3_bind_null(stmt, at);
    if (rc != SQLITE_OK) Fail();
  }

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

}  // namespace

void AppendContract(const std::string& path, const ContractRow& row) {
  BankFile bank(path, true);
  bank.Require("Tbl_Contract", "total");
  // The schema is looked at inside the write transaction, so it cannot change before the write.
  bank.Exec("BEGIN IMMEDIATE");
  bank.ExpectOnlyOwnSchema(BankKind::Total);
  Statement insert = bank.Prepare(
      "INSERT INTO Tbl_Contract (C_DataCode, C_QuestionType, I_ContractCode, C_Module) VALUES (?, ?, ?, ?)");
  bank.BindText(insert.get(), 1, row.data_code);
  bank.BindText(insert.get(), 2, row.question_type);
  if (row.contract_code) {
    sqlite3_bind_int(insert.get(), 3, *row.contract_code);
  } else {
    sqlite3_bind_null(insert.get(), 3);
  }
  bank.BindText(insert.get(), 4, row.module);
  bank.Step(insert.get());
  insert.reset();
  bank.Exec("COMMIT");
}

void AppendQuestions(const std::string& path, const std::vector<NewQuestion>& questions) {
  BankFile bank(path, true);
  bank.Require("Tbl_Public", "subject");
  bank.Require("Tbl_Operation", "subject");
  bank.Exec("BEGIN IMMEDIATE");
  bank.ExpectOnlyOwnSchema(BankKind::Subject);
  // The same comparison the checks look record numbers up with; a second row of the same number
  // in the import is found by this lookup too, as the first is already inserted.
  Statement existing = bank.Prepare("SELECT 1 FROM Tbl_Operation WHERE C_RecNo=? COLLATE NOCASE");
  Statement add_public = bank.Prepare("INSERT INTO Tbl_Public (C_Module, C_RecNo) VALUES (?, ?)");
  Statement add_operation = bank.Prepare("INSERT INTO Tbl_Operation (C_RecNo, M_Answer, O_Rudecont) VALUES (?, ?, ?)");
  for (const NewQuestion& q : questions) {
    const std::string prefix = q.origin.empty() ? std::string() : q.origin + ": ";
    sqlite3_reset(existing.get());
    bank.BindText(existing.get(), 1, q.rec_no);
    if (bank.Step(existing.get())) {
      // Nothing of the import is kept: the transaction is rolled back when the bank is closed.
      bank.Throw(prefix + "it holds the record number " + q.rec_no + " already");
    }
    sqlite3_reset(add_public.get());
    bank.BindText(add_public.get(), 1, q.module);
    bank.BindText(add_public.get(), 2, q.rec_no);
    bank.Step(add_public.get());
    sqlite3_reset(add_operation.get());
    bank.BindText(add_operation.get(), 1, q.rec_no);
    bank.BindText(add_operation.get(), 2, q.answer);
    // zeroblob for an empty archive, so that it is stored as an empty value rather than NULL.
    const int rc = q.content.empty() ? sqlite3_bind_zeroblob(add_operation.get(), 3, 0)
                                     : sqlite3_bind_blob64(add_operation.get(), 3, q.content.data(),
                                                           q.content.size(), SQLITE_STATIC);
    if (rc != SQLITE_OK) bank.Fail();
    bank.Step(add_operation.get());
  }
  existing.reset();
  add_public.reset();
  add_operation.reset();
  bank.Exec("COMMIT");
}

void AppendQuestion(const std::string& path, const std::string& module, const std::string& rec_no,
                    const std::string& answer, const std::vector<uint8_t>& content) {
  AppendQuestions(path, {NewQuestion{module, rec_no, answer, content, std::string()}});
}

BankSummary SummarizeBank(const std::string& path) {
  BankFile bank(path, false);
  BankSummary summary;
  summary.has_contract = bank.HasTable("Tbl_Contract");
  summary.has_subject = bank.HasTable("Tbl_Public") && bank.HasTable("Tbl_Operation");
  if (summary.has_contract) {
    Statement rows = bank.Prepare(
        "SELECT C_DataCode, C_QuestionType, I_ContractCode, C_Module FROM Tbl_Contract ORDER BY rowid");
    while (bank.Step(rows.get())) {
      ContractRow row;
      row.data_code = ColumnText(rows.get(), 0);
      row.question_type = ColumnText(rows.get(), 1);
      if (sqlite3_column_type(rows.get(), 2) != SQLITE_NULL) row.contract_code = sqlite3_column_int(rows.get(), 2);
      row.module = ColumnText(rows.get(), 3);
      summary.contracts.push_back(std::move(row));
    }
  }
  if (summary.has_subject) {
    Statement modules = bank.Prepare(
        "SELECT C_Module, COUNT(*) FROM Tbl_Public GROUP BY C_Module COLLATE NOCASE ORDER BY C_Module");
    while (bank.Step(modules.get())) {
      summary.modules.push_back({ColumnText(modules.get(), 0).value_or(""), sqlite3_column_int64(modules.get(), 1)});
    }
    Statement operations = bank.Prepare(
        "SELECT C_RecNo, length(CAST(M_Answer AS BLOB)), length(O_Rudecont), (SELECT C_Module FROM Tbl_Public p "
        "WHERE p.C_RecNo=o.C_RecNo COLLATE NOCASE LIMIT 1) FROM Tbl_Operation o ORDER BY o.rowid");
    while (bank.Step(operations.get())) {
      BankSummary::Operation op;
      op.rec_no = ColumnText(operations.get(), 0).value_or("");
      if (sqlite3_column_type(operations.get(), 1) != SQLITE_NULL) op.answer_bytes = sqlite3_column_int64(operations.get(), 1);
      if (sqlite3_column_type(operations.get(), 2) != SQLITE_NULL) op.archive_bytes = sqlite3_column_int64(operations.get(), 2);
      op.module = ColumnText(operations.get(), 3).value_or("");
      summary.operations.push_back(std::move(op));
    }
  }
  return summary;
}

}  // namespace vardenix
