// The question-bank format on SQLite, and the writer that makes banks in it.
//
// A total bank holds Tbl_Contract (which modules of which subject hold which question type, per
// contract); a subject bank holds Tbl_Public (the questions of each module) and Tbl_Operation (each
// operation question's answer text and answer archive). docs/question-banks.md describes the format.
// The text fields that the checks look values up by are declared COLLATE NOCASE, and so are their
// indexes, so an equality test on them ignores the case of ASCII letters and still uses the index.
//
// Writing banks is a tool function (the `vardenix bank` command, test helpers); the checks only
// read banks, through the read-only DatabaseEngine. A BankWriter is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vardenix {

enum class BankKind { Total, Subject };

// The statements that create an empty bank of `kind` (tables, then indexes), in order. They are
// the one definition of the format.
const std::vector<std::string>& BankSchema(BankKind kind);

// The value of `PRAGMA application_id` in every bank this writer makes ("VDNX"). Readers do not
// require it: banks made by other tools open as long as the tables and fields are there.
constexpr int32_t kBankApplicationId = 0x56444E58;
// The value of `PRAGMA user_version`: the version of the format.
constexpr int32_t kBankFormatVersion = 1;

// One row of Tbl_Contract. An absent value is stored as NULL.
struct ContractRow {
  std::optional<std::string> data_code;      // C_DataCode: the subject code
  std::optional<std::string> question_type;  // C_QuestionType: "操作题" for operation questions
  std::optional<int32_t> contract_code;      // I_ContractCode
  std::optional<std::string> module;         // C_Module
};

// One row of Tbl_Public.
struct PublicRow {
  std::optional<std::string> module;  // C_Module
  std::optional<std::string> rec_no;  // C_RecNo
};

// One row of Tbl_Operation.
struct OperationRow {
  std::optional<std::string> rec_no;            // C_RecNo
  std::optional<std::string> answer;            // M_Answer: the answer text given to the scorer
  std::optional<std::vector<uint8_t>> content;  // O_Rudecont: the answer archive (zip bytes)
};

class BankWriter {
 public:
  // Creates a new bank of `kind` at `path` with its tables and indexes, and starts a transaction
  // for the rows to come. Throws RuntimeError naming the file when it exists already (a bank is
  // never overwritten) or cannot be created; a file it created is removed again on failure.
  static std::unique_ptr<BankWriter> Create(BankKind kind, const std::string& path);

  // Without Commit(), the rows added are discarded; the file stays, as an empty bank.
  ~BankWriter();
  BankWriter(const BankWriter&) = delete;
  BankWriter& operator=(const BankWriter&) = delete;

  // Adds a row. Contract rows go into total banks only, the others into subject banks only;
  // the wrong kind, or a failed write, throws RuntimeError naming the file.
  void AddContract(const ContractRow& row);
  void AddPublic(const PublicRow& row);
  void AddOperation(const OperationRow& row);
  // One operation question: a Tbl_Public row (module, rec_no) and a Tbl_Operation row
  // (rec_no, answer, content).
  void AddQuestion(const std::optional<std::string>& module, const std::optional<std::string>& rec_no,
                   const std::optional<std::string>& answer,
                   const std::optional<std::vector<uint8_t>>& content);

  // Writes the rows added to the file and closes it; the writer takes no rows after this.
  // Throws RuntimeError naming the file on failure.
  void Commit();

 private:
  struct State;
  explicit BankWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vardenix
