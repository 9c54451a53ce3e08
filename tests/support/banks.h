// Question banks for tests, built from a few lines of data with the real BankWriter.
//
//   WriteTotalBank(dir / "total.db", OperationModules("S01", {"Word", "Excel"}));
//   WriteSubjectBank(dir / "subject.db", {{"Word", "W-1", "answer", Bytes("zip")}});
//   WriteBankWithModules(dir / "subject.db", {{"Word", 3}, {"Excel", 1}});
//
// Each helper creates a new file (an existing one is an error) and returns its path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "authoring/bank_schema.h"

namespace vardenix::support {

inline constexpr const char* kOperationQuestion = "操作题";

// One operation question: a Tbl_Public row and, unless `in_operation` is false, its Tbl_Operation row.
struct Question {
  std::optional<std::string> module;
  std::optional<std::string> rec_no;
  std::optional<std::string> answer;
  std::optional<std::vector<uint8_t>> content;
  bool in_operation = true;
};

struct Module {
  std::string name;
  int questions = 0;
};

std::vector<uint8_t> Bytes(const std::string& text);

// Contract rows listing `modules` as operation-question modules of `subject` under `contract`.
std::vector<ContractRow> OperationModules(const std::string& subject, const std::vector<std::string>& modules,
                                          int32_t contract = 1);

std::string WriteTotalBank(const std::string& path, const std::vector<ContractRow>& rows);
std::string WriteSubjectBank(const std::string& path, const std::vector<Question>& questions);
// A subject bank whose every module holds its number of questions, numbered "<name>-1", "<name>-2"
// and so on, each with the answer "answer <rec_no>" and `content` as its archive.
std::string WriteBankWithModules(const std::string& path, const std::vector<Module>& modules,
                                 const std::vector<uint8_t>& content = Bytes("archive"));

}  // namespace vardenix::support
