#include "checks/bank_queries.h"

#include "checks/subject_check.h"

namespace vardenix {

BankQuery ModuleQuery(const std::string& subject_code, int32_t contract_code) {
  BankQuery query;
  query.text = "Select C_Module From Tbl_Contract Where C_DataCode=? COLLATE NOCASE And C_QuestionType='";
  query.text += kOperationQuestionType;
  query.text += "'";
  query.params.push_back(Variant::Text(subject_code));
  if (contract_code != -1) {
    query.text += " And I_ContractCode=?";
    query.params.push_back(Variant::I4(contract_code));
  }
  query.text += " Group by C_Module COLLATE NOCASE";
  return query;
}

BankQuery QuestionListQuery(const std::string& module) {
  return {"Select C_RecNo From Tbl_Public Where C_Module=? COLLATE NOCASE", {Variant::Text(module)}};
}

BankQuery QuestionRecordQuery(const std::string& rec_no, const char* field) {
  return {std::string("Select ") + field + " From Tbl_Operation Where C_RecNo=? COLLATE NOCASE", {Variant::Text(rec_no)}};
}

}  // namespace vardenix
