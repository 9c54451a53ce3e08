// The queries the checks run on the question banks, in one place so that the tests of the bank
// format run exactly these and see them drift from what the bank writer stores and indexes.
//
// Values are bound, never pasted into the text, so a quote in a code or a name is matched
// literally. Text is compared without regard to case, as the question banks have always been.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/variant.h"

namespace vardenix {

struct BankQuery {
  std::string text;
  std::vector<Variant> params;
};

// The operation-question modules of a subject in the total bank, one row per module (C_Module);
// contract code -1 means every contract.
BankQuery ModuleQuery(const std::string& subject_code, int32_t contract_code);

// The questions of one module in the subject bank (Tbl_Public, C_RecNo).
BankQuery QuestionListQuery(const std::string& module);

// One field of the record of one question in the subject bank (Tbl_Operation): each field is read
// alone, under a budget of its own. `field` is a fixed name of the bank format.
BankQuery QuestionRecordQuery(const std::string& rec_no, const char* field);

}  // namespace vardenix
