#include "checks/subject_check.h"

#include <chrono>
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

// Module names are compared as the banks compare them: ASCII letters without regard to case.
bool SameModule(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The records a listed selection names for `module`, in the order given.
std::vector<std::string> ListedRecords(const CheckContext& ctx, const std::string& module) {
  std::vector<std::string> records;
  if (!ctx.selection || ctx.selection->kind != SubjectSelection::Kind::kListed) return records;
  for (const auto& [listed_module, rec_no] : ctx.selection->listed) {
    if (SameModule(listed_module, module)) records.push_back(rec_no);
  }
  return records;
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
    // A listed selection passes only when every record it names was graded and passed: why each
    // one was not graded, empty once it was. A record named in a module the total bank does not
    // list for the subject is never drawn.
    const bool listing =
        ctx.selection && ctx.selection->kind == SubjectSelection::Kind::kListed && ctx.selection->grade;
    std::vector<std::string> listed_not_graded;
    if (listing) {
      listed_not_graded.assign(ctx.selection->listed.size(),
                               "the total bank lists no such module with operation questions for the subject");
    }
    const auto note_listed = [&](const std::string& module, const std::string& rec_no, const std::string& why) {
      for (size_t i = 0; i < listed_not_graded.size(); ++i) {
        const auto& [listed_module, listed_rec_no] = ctx.selection->listed[i];
        if (SameModule(listed_module, module) && (rec_no.empty() || listed_rec_no == rec_no)) {
          listed_not_graded[i] = why;
        }
      }
    };
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
        const SubjectSelection::Kind kind = ctx.selection ? ctx.selection->kind : SubjectSelection::Kind::kSample;
        const std::vector<std::string> listed = ListedRecords(ctx, module);
        const int32_t samples = kind == SubjectSelection::Kind::kSample          ? SampleCount(rate, count)
                                : kind == SubjectSelection::Kind::kEveryQuestion ? count
                                                                                 : static_cast<int32_t>(listed.size());
        if (ctx.observer) ctx.observer->OnModule(module_index, module, count, samples);
        if (kind == SubjectSelection::Kind::kSample) random.Reseed();
        for (int32_t sample = 1; sample <= samples; ++sample) {
          // A host (or Ctrl-C) may stop a long run between samples; what was reported stays.
          if (ctx.platform.stop && ctx.platform.stop->load()) throw RuntimeError(kInterrupted);
          std::string rec_no;
          if (kind == SubjectSelection::Kind::kListed) {
            rec_no = listed[static_cast<size_t>(sample - 1)];
          } else if (kind == SubjectSelection::Kind::kEveryQuestion) {
            if (sample == 1) {
              rs_questions->MoveFirst();
            } else {
              rs_questions->MoveNext();
            }
            rec_no = TextOrEmpty(*rs_questions, "C_RecNo");
          } else {
            rs_questions->MoveFirst();
            // Two draws: a first one of zero keeps the first row; otherwise a second draw says how
            // far to move from it.
            if (ToRowIndex(random.Next(), count) > 0) {
              rs_questions->Move(ToRowIndex(random.Next(), count));
            }
            rec_no = TextOrEmpty(*rs_questions, "C_RecNo");
          }
          RecordResult record;
          record.module = module;
          record.rec_no = rec_no;
          record.draw = sample;
          if (rec_no.empty() || (ctx.selection && !ctx.selection->grade)) {
            record.reason = rec_no.empty() ? "the drawn Tbl_Public row has no record number (C_RecNo)" : "dry run";
            if (ctx.observer) ctx.observer->OnRecord(record);
            if (listing && !rec_no.empty()) note_listed(module, rec_no, record.reason);
            continue;
          }

          std::string record_text;
          std::string record_xml;
          const auto start = std::chrono::steady_clock::now();
          const bool passed = PingMdbRecNO(ctx, record_text, record_xml, rec_no, *db_subject, &record);
          record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          if (!passed) {
            verdict = false;
            err_text += record_text;
            merged_xml.Merge(record_xml);
          }
          if (listing) {
            note_listed(module, rec_no, record.outcome == RecordOutcome::kNotGraded ? record.reason : std::string());
          }
          if (ctx.observer) {
            ctx.observer->OnSample(module, rec_no, passed);
            ctx.observer->OnRecord(record);
          }
        }
      } else {
        if (ctx.observer) ctx.observer->OnModule(module_index, module, 0, 0);
        if (listing) note_listed(module, std::string(), "the module has no questions in the subject bank");
      }
      rs_modules->MoveNext();
    }
    for (size_t i = 0; i < listed_not_graded.size(); ++i) {
      if (listed_not_graded[i].empty()) continue;
      verdict = false;
      const auto& [module, rec_no] = ctx.selection->listed[i];
      AddErrInfo(ctx.recorder, kSubjectBankCheck,
                 "the record " + rec_no + " of the module " + module + " was not graded: " + listed_not_graded[i], "",
                 "", "", "", "");
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
