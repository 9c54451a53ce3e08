#include "support/banks.h"

namespace vardenix::support {

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<ContractRow> OperationModules(const std::string& subject, const std::vector<std::string>& modules,
                                          int32_t contract) {
  std::vector<ContractRow> rows;
  for (const std::string& module : modules) rows.push_back({subject, kOperationQuestion, contract, module});
  return rows;
}

std::string WriteTotalBank(const std::string& path, const std::vector<ContractRow>& rows) {
  auto writer = BankWriter::Create(BankKind::Total, path);
  for (const ContractRow& row : rows) writer->AddContract(row);
  writer->Commit();
  return path;
}

std::string WriteSubjectBank(const std::string& path, const std::vector<Question>& questions) {
  auto writer = BankWriter::Create(BankKind::Subject, path);
  for (const Question& q : questions) {
    writer->AddPublic({q.module, q.rec_no});
    if (q.in_operation) writer->AddOperation({q.rec_no, q.answer, q.content});
  }
  writer->Commit();
  return path;
}

std::string WriteBankWithModules(const std::string& path, const std::vector<Module>& modules,
                                 const std::vector<uint8_t>& content) {
  std::vector<Question> questions;
  for (const Module& module : modules) {
    for (int i = 1; i <= module.questions; ++i) {
      const std::string rec_no = module.name + "-" + std::to_string(i);
      questions.push_back({module.name, rec_no, "answer " + rec_no, content});
    }
  }
  return WriteSubjectBank(path, questions);
}

}  // namespace vardenix::support
