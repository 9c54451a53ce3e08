// Question banks for the checks' tests: the shared bank helpers with the defaults these tests want
// (every question has an answer and an archive unless a row says otherwise).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/banks.h"

namespace vardenix::testing {

struct Question {
  std::optional<std::string> module;
  std::optional<std::string> rec_no;
  std::optional<std::string> answer = std::string("1 exists a.txt");
  std::optional<std::vector<uint8_t>> content = std::vector<uint8_t>{'P', 'K', 3, 4};
};

// A total bank whose subject `code` has these operation-question modules, plus a module of another
// question type that the checks must not see.
inline void TotalBank(const std::string& path, const std::string& code,
                      const std::vector<std::optional<std::string>>& modules, int32_t contract = 1) {
  std::vector<ContractRow> rows;
  for (const auto& module : modules) rows.push_back({code, std::string(support::kOperationQuestion), contract, module});
  rows.push_back({code, std::string("选择题"), contract, std::string("choice module")});
  support::WriteTotalBank(path, rows);
}

inline void SubjectBank(const std::string& path, const std::vector<Question>& questions) {
  std::vector<support::Question> rows;
  for (const auto& q : questions) rows.push_back({q.module, q.rec_no, q.answer, q.content});
  support::WriteSubjectBank(path, rows);
}

}  // namespace vardenix::testing
