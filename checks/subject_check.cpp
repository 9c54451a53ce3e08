#include "checks/subject_check.h"

#include <cmath>
#include <memory>
#include <vector>

#include "checks/bank_queries.h"
#include "checks/close_object.h"
#include "checks/record_check.h"
#include "report/mod_xml_rw.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

int32_t ToRowIndex(float u, int32_t count) {
  // u < 1, so the floor is at most count - 1.
  return static_cast<int32_t>(std::floor(static_cast<double>(u) * static_cast<double>(count)));
}

std::string TextOrEmpty(Recordset& rs, const std::string& field) {
  return rs.IsNull(field) ? std::string() : ToText(rs.Value(field));
}

}  // namespace

int32_t SampleCount(float rate, int32_t count) {
  const double n = std::floor(static_cast<double>(rate) * static_cast<double>(count)) + 1.0;
  if (!(n >= -2147483648.0 && n <= 2147483647.0)) throw RuntimeError("Overflow");
  return static_cast<int32_t>(n);
}

bool SubjectMdbChk(CheckContext& ctx, std::string& err_text, std::string& err_xml,
                   const std::string& total_path, const std::string& subject_path,
                   const std::string& subject_code, int32_t contract_code, float rate) noexcept {
  std::unique_ptr<Database> db_total;
  std::unique_ptr<Database> db_subject;
  std::unique_ptr<Recordset> rs_questions;
  std::unique_ptr<Recordset> rs_modules;
  // The failing records' reports are merged into err_xml as they come; the merger parses the
  // growing report once instead of once a record, and hands it back on every exit below.
  ReportMerger merged_xml(err_xml, ctx.recorder.dom);
  std::string description;
  try {
    if (subject_path.empty() || total_path.empty()) return false;
    Files& files = *ctx.platform.files;
    if (!files.FileExists(total_path)) {
      AddErrInfo(ctx.recorder, kSubjectBankError, "指定的" + total_path + "库不存在", "", "", "", "", "");
      return false;
    }
    if (!files.FileExists(subject_path)) {
      AddErrInfo(ctx.recorder, kSubjectBankError, "指定的科目库[" + subject_path + "]不存在", "", "", "",
                 "", "");
      return false;
    }

    DatabaseEngine& engine = ctx.platform.database_engine();
    db_total = engine.OpenDatabase(total_path, ctx.platform.limits, ctx.platform.stop);

    const BankQuery modules = ModuleQuery(subject_code, contract_code);
    rs_modules = db_total->OpenRecordset(modules.text, modules.params);

    if (rs_modules->Bof() && rs_modules->Eof()) {
      AddErrInfo(ctx.recorder, kSubjectBankCheck, kNoOperationQuestions, "", "", "", "", "");
      CloseObject(rs_modules);
      CloseObject(db_total);
      return false;
    }
    if (ctx.observer) {
      rs_modules->MoveLast();
      ctx.observer->OnModules(rs_modules->RecordCount());
      rs_modules->MoveFirst();
    }

    db_subject = engine.OpenDatabase(subject_path, ctx.platform.limits, ctx.platform.stop);
    bool verdict = true;
    RandomSource& random = *ctx.platform.random;
    int32_t module_index = 0;

    while (!rs_modules->Eof()) {
      ++module_index;
      const std::string module = TextOrEmpty(*rs_modules, "C_Module");
      // The previous module's list is released here, without a close of its own.
      const BankQuery questions = QuestionListQuery(module);
      rs_questions = db_subject->OpenRecordset(questions.text, questions.params);
      if (!(rs_questions->Bof() && rs_questions->Eof())) {
        rs_questions->MoveLast();
        const int32_t count = rs_questions->RecordCount();
        const int32_t samples = SampleCount(rate, count);
        if (ctx.observer) ctx.observer->OnModule(module_index, module, count, samples);
        random.Reseed();
        for (int32_t sample = 1; sample <= samples; ++sample) {
          // A host (or Ctrl-C) may stop a long run between samples; what was reported stays.
          if (ctx.platform.stop && ctx.platform.stop->load()) throw RuntimeError(kInterrupted);
          rs_questions->MoveFirst();
          // Two draws: a first one of zero keeps the first row; otherwise a second draw says how
          // far to move from it.
          if (ToRowIndex(random.Next(), count) > 0) {
            rs_questions->Move(ToRowIndex(random.Next(), count));
          }
          const std::string rec_no = TextOrEmpty(*rs_questions, "C_RecNo");
          if (rec_no.empty()) continue;

          std::string record_text;
          std::string record_xml;
          const bool passed = PingMdbRecNO(ctx, record_text, record_xml, rec_no, *db_subject);
          if (!passed) {
            verdict = false;
            err_text += record_text;
            merged_xml.Merge(record_xml);
          }
          if (ctx.observer) ctx.observer->OnSample(module, rec_no, passed);
        }
      } else if (ctx.observer) {
        ctx.observer->OnModule(module_index, module, 0, 0);
      }
      rs_modules->MoveNext();
    }

    // The module list goes last, after the total bank is closed: a record set holds its rows and
    // needs nothing of its database once it is open.
    CloseObject(rs_questions);
    CloseObject(db_subject);
    CloseObject(db_total);
    rs_modules.reset();
    err_xml = merged_xml.Result();
    return verdict;
  } catch (const std::exception& e) {
    description = e.what();
  } catch (...) {
    description = "unknown failure";
  }
  // A bank that could not be checked has not passed.
  CloseObject(rs_questions);
  CloseObject(db_subject);
  CloseObject(db_total);
  rs_modules.reset();
  err_xml = merged_xml.Result();
  AddErrInfo(ctx.recorder, kSubjectChkRuntimeError, "", "", "", "", description, "");
  return false;
}

}  // namespace vardenix
