// Question banks for the checks' tests, built as real SQLite files from a few lines of data.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/bank_schema.h"

namespace vardenix::testing {

struct Question {
  std::optional<std::string> module;
  std::optional<std::string> rec_no;
  std::optional<std::string> answer = std::string("1 exists a.txt");
  std::optional<std::vector<uint8_t>> content = std::vector<uint8_t>{'P', 'K', 3, 4};
};

// A total bank whose subject `code` has these operation-question modules (contract 1), plus a
// module of another question type that the checks must not see.
inline void TotalBank(const std::string& path, const std::string& code,
                      const std::vector<std::optional<std::string>>& modules, int32_t contract = 1) {
  auto writer = BankWriter::Create(BankKind::Total, path);
  for (const auto& module : modules) writer->AddContract({code, std::string("操作题"), contract, module});
  writer->AddContract({code, std::string("选择题"), contract, std::string("choice module")});
  writer->Commit();
}

inline void SubjectBank(const std::string& path, const std::vector<Question>& questions) {
  auto writer = BankWriter::Create(BankKind::Subject, path);
  for (const auto& q : questions) writer->AddQuestion(q.module, q.rec_no, q.answer, q.content);
  writer->Commit();
}

}  // namespace vardenix::testing
