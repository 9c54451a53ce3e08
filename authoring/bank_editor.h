// Adding rows to a question bank that already exists, and telling what a bank holds: the
// `vardenix bank add-module`, `add-question` and `list` commands. BankWriter (bank_schema.h) makes
// new banks; these functions open an existing one read-write for one change and close it again.
// Each change is one transaction: it is all written or not at all. Any thread, one call at a time
// per file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "authoring/bank_schema.h"

namespace vardenix {

// The tools write only banks whose every schema object is one they make (bank_schema.h), word for
// word: a bank with a trigger, a view, another table or index, or a changed table was made or
// changed by something else, and is refused and left unchanged.
//
// Adds `row` to Tbl_Contract of the total bank at `path`. Throws RuntimeError naming the file when
// it is missing, is not a SQLite database, has no Tbl_Contract, holds a schema object the tools did
// not make (naming it), or cannot be written.
void AppendContract(const std::string& path, const ContractRow& row);

// Adds one operation question (a Tbl_Public row and a Tbl_Operation row) to the subject bank at
// `path`. Throws RuntimeError naming the file as AppendContract does, and naming the record number
// when Tbl_Operation holds it already (the checks would read only its first row).
void AppendQuestion(const std::string& path, const std::string& module, const std::string& rec_no,
                    const std::string& answer, const std::vector<uint8_t>& content);

// One question of AppendQuestions; `origin` names where it came from ("row 4", "folder Word/W-1")
// for the error that refuses it.
struct NewQuestion {
  std::string module;
  std::string rec_no;
  std::string answer;
  std::vector<uint8_t> content;
  std::string origin;
};

// Adds the questions in order to the subject bank at `path`, all in one transaction: when one is
// refused (its record number is in the bank, or earlier in `questions`), nothing is added. Throws
// RuntimeError naming the file and the question's origin, and as AppendQuestion does.
void AppendQuestions(const std::string& path, const std::vector<NewQuestion>& questions);

// What a bank holds, for people to read.
struct BankSummary {
  struct Module {
    std::string name;
    int64_t questions = 0;  // Tbl_Public rows
  };
  struct Operation {
    std::string rec_no;
    int64_t answer_bytes = -1;   // -1: NULL
    int64_t archive_bytes = -1;  // -1: NULL
    std::string module;          // of its Tbl_Public row; empty when it has none
  };
  bool has_contract = false;              // the file has Tbl_Contract (a total bank)
  bool has_subject = false;               // the file has Tbl_Public and Tbl_Operation (a subject bank)
  std::vector<ContractRow> contracts;     // in row order
  std::vector<Module> modules;            // Tbl_Public grouped by module, by name
  std::vector<Operation> operations;      // in row order
};

// Reads the bank at `path` without writing it. Throws RuntimeError naming the file when it is
// missing or is not a SQLite database.
BankSummary SummarizeBank(const std::string& path);

}  // namespace vardenix
