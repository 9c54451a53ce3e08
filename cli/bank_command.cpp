#include "cli/bank_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "authoring/bank_editor.h"
#include "authoring/bank_schema.h"
#include "authoring/text_decoding.h"
#include "authoring/zip_writer.h"
#include "checks/scoring_run.h"
#include "cli/cli_support.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix::cli {
namespace {

constexpr const char* kOperationQuestion = "操作题";
constexpr const char* kRecordArchiveName = "Result.Zip";

struct BankArgs {
  std::string file;
  bool force = false;
  // add-module
  std::string subject_code;
  std::string module;
  std::optional<int32_t> contract;
  std::string question_type = kOperationQuestion;
  // add-question
  std::string rec_no;
  std::string answer;
  std::string answer_file;
  std::string archive;
  std::string archive_dir;
  CLI::Option* answer_opt = nullptr;
  CLI::Option* answer_file_opt = nullptr;
  CLI::Option* archive_opt = nullptr;
  CLI::Option* archive_dir_opt = nullptr;
};

int Create(const BankArgs& a, BankKind kind) {
  if (PathExists(a.file)) {
    if (!a.force) throw UsageError(a.file + " exists already; give --force to replace it");
    RequireReadableFile(a.file, "the existing bank");  // never removes a folder or a device
    if (::unlink(a.file.c_str()) != 0) {
      throw UsageError("cannot replace " + a.file + ": " + std::strerror(errno));
    }
  }
  BankWriter::Create(kind, a.file)->Commit();
  std::cout << "created the " << (kind == BankKind::Total ? "total" : "subject") << " bank " << a.file << '\n';
  return kExitPassed;
}

int AddModule(const BankArgs& a) {
  // A second identical row adds nothing the checks could tell apart; it is a slip, usually a
  // command run twice.
  const ContractRow row{a.subject_code, a.question_type, a.contract, a.module};
  if (PathExists(a.file)) {
    for (const ContractRow& existing : SummarizeBank(a.file).contracts) {
      if (existing.data_code == row.data_code && existing.question_type == row.question_type &&
          existing.contract_code == row.contract_code && existing.module == row.module) {
        throw UsageError(a.file + " holds this module row already (subject " + a.subject_code + ", module " +
                         a.module + "); nothing was added");
      }
    }
  }
  AppendContract(a.file, ContractRow{a.subject_code, a.question_type, a.contract, a.module});
  std::cout << "added the module " << a.module << " of the subject " << a.subject_code << " to " << a.file << '\n';
  return kExitPassed;
}

std::string AnswerText(const BankArgs& a) {
  if (a.answer_opt->count() > 0) {
    if (!IsValidUtf8(a.answer)) throw UsageError("--answer is not UTF-8 text");
    return a.answer;
  }
  const std::vector<uint8_t> bytes = ReadInputFile(a.answer_file, "the answer file");
  std::string text;
  try {
    text = DecodeTextFile(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                          "the answer file " + a.answer_file);
  } catch (const RuntimeError& e) {
    throw UsageError(e.what());
  }
  // The line end that editors put after the last line is not part of the answer.
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

// Refuses an answer archive that the archive control would not extract, by having it extract the
// archive into a scratch folder as a check would: a bank holding it would fail that question.
void RequireExtractableArchive(const std::vector<uint8_t>& content, const std::string& path) {
  const std::string folder = MakeWorkingFolder();
  std::string refusal;
  try {
    const std::string zip = folder + "/" + kRecordArchiveName;
    WriteOutputFile(zip, std::string(content.begin(), content.end()));
    Platform platform;
    refusal = ExtractArchive(platform.archive_control(), zip, folder);
  } catch (const std::exception& e) {
    refusal = e.what();
  }
  std::string reason;
  RemoveTree(folder, reason);
  if (!refusal.empty()) {
    throw UsageError(path + " is not an answer archive the checks can extract (" + refusal +
                     "); give a zip file, or a folder with --archive-dir");
  }
}

int AddQuestion(const BankArgs& a) {
  if (a.answer_opt->count() + a.answer_file_opt->count() != 1) {
    throw UsageError("give the answer with --answer TEXT or --answer-file FILE");
  }
  if (a.archive_opt->count() + a.archive_dir_opt->count() != 1) {
    throw UsageError("give the answer archive with --archive ZIP or --archive-dir DIR");
  }
  const std::string answer = AnswerText(a);
  std::vector<uint8_t> content;
  if (a.archive_opt->count() > 0) {
    content = ReadInputFile(a.archive, "the archive");
    RequireExtractableArchive(content, a.archive);
  } else {
    RequireFolder(a.archive_dir, "the archive folder");
    content = ZipFolder(a.archive_dir);
  }
  AppendQuestion(a.file, a.module, a.rec_no, answer, content);
  std::cout << "added the question " << a.rec_no << " of the module " << a.module << " (archive " << content.size()
            << " bytes) to " << a.file << '\n';
  return kExitPassed;
}

std::string OrNull(const std::optional<std::string>& text) { return text ? *text : "(null)"; }

int List(const BankArgs& a) {
  RequireReadableFile(a.file, "the bank");
  const BankSummary s = SummarizeBank(a.file);
  if (!s.has_contract && !s.has_subject) {
    std::cout << a.file << ": neither a total bank (Tbl_Contract) nor a subject bank (Tbl_Public, Tbl_Operation)\n";
    return kExitNotPassed;
  }
  if (s.has_contract) {
    std::cout << a.file << ": total bank, " << Count(static_cast<int64_t>(s.contracts.size()), "row", "rows") << " in Tbl_Contract\n";
    if (!s.contracts.empty()) std::cout << "  subject\tquestion type\tcontract\tmodule\n";
    for (const ContractRow& row : s.contracts) {
      std::cout << "  " << OrNull(row.data_code) << '\t' << OrNull(row.question_type) << '\t'
                << (row.contract_code ? std::to_string(*row.contract_code) : "(null)") << '\t' << OrNull(row.module)
                << '\n';
    }
  }
  if (s.has_subject) {
    std::cout << a.file << ": subject bank, " << Count(static_cast<int64_t>(s.modules.size()), "module", "modules")
              << " in Tbl_Public, " << Count(static_cast<int64_t>(s.operations.size()), "row", "rows")
              << " in Tbl_Operation\n";
    for (const BankSummary::Module& m : s.modules) {
      std::cout << "  module " << m.name << ": " << Count(m.questions, "question", "questions") << "\n";
    }
    for (const BankSummary::Operation& op : s.operations) {
      std::cout << "  record " << op.rec_no << ": answer "
                << (op.answer_bytes < 0 ? std::string("(null)") : std::to_string(op.answer_bytes) + " bytes")
                << ", archive "
                << (op.archive_bytes < 0 ? std::string("(null)") : std::to_string(op.archive_bytes) + " bytes")
                << '\n';
    }
  }
  return kExitPassed;
}

}  // namespace

void AddBankCommand(CLI::App& app, std::function<int()>& run) {
  CLI::App* bank = app.add_subcommand("bank", "Make and inspect question banks (SQLite; see docs/question-banks.md).");
  bank->require_subcommand(1);

  for (const BankKind kind : {BankKind::Total, BankKind::Subject}) {
    auto a = std::make_shared<BankArgs>();
    const bool total = kind == BankKind::Total;
    CLI::App* cmd = bank->add_subcommand(total ? "create-total" : "create-subject",
                                         total ? "Create an empty total bank (Tbl_Contract)."
                                               : "Create an empty subject bank (Tbl_Public, Tbl_Operation).");
    cmd->add_option("FILE", a->file, "the new bank")->required()->type_name("FILE");
    cmd->add_flag("--force", a->force, "replace a file that is there");
    cmd->callback([a, kind, &run] { run = [a, kind] { return Create(*a, kind); }; });
  }

  {
    auto a = std::make_shared<BankArgs>();
    CLI::App* cmd = bank->add_subcommand("add-module", "Add a module row to Tbl_Contract of a total bank.");
    cmd->add_option("TOTAL", a->file, "the total bank")->required()->type_name("FILE");
    cmd->add_option("--subject-code", a->subject_code, "the subject code (C_DataCode)")->required();
    cmd->add_option("--module", a->module, "the module name (C_Module)")->required();
    cmd->add_option("--contract", a->contract,
                    "the contract code (I_ContractCode); without it the row has none and is found only when "
                    "a check asks for every contract");
    cmd->add_option("--question-type", a->question_type, "the question type (C_QuestionType)")
        ->capture_default_str();
    cmd->callback([a, &run] { run = [a] { return AddModule(*a); }; });
  }

  {
    auto a = std::make_shared<BankArgs>();
    CLI::App* cmd = bank->add_subcommand(
        "add-question", "Add an operation question to a subject bank: a Tbl_Public row and a Tbl_Operation row "
                        "with its answer text and answer archive. A record number is added only once.");
    cmd->add_option("SUBJECT", a->file, "the subject bank")->required()->type_name("FILE");
    cmd->add_option("--module", a->module, "the module the question belongs to")->required();
    cmd->add_option("--rec-no", a->rec_no, "the record number")->required();
    a->answer_opt = cmd->add_option("--answer", a->answer, "the answer text given to the scoring component");
    a->answer_file_opt = cmd->add_option(
        "--answer-file", a->answer_file,
        "file holding the answer text (UTF-8, or GB18030 when not valid UTF-8; a final line end is dropped)");
    a->answer_opt->excludes(a->answer_file_opt);
    a->archive_opt = cmd->add_option("--archive", a->archive, "the answer archive, a zip file stored as it is");
    a->archive_dir_opt = cmd->add_option("--archive-dir", a->archive_dir, "a folder to zip as the answer archive");
    a->archive_opt->excludes(a->archive_dir_opt);
    cmd->callback([a, &run] { run = [a] { return AddQuestion(*a); }; });
  }

  {
    auto a = std::make_shared<BankArgs>();
    CLI::App* cmd = bank->add_subcommand("list", "Show what a bank holds: contract rows, or modules with their "
                                                 "question counts and the records of Tbl_Operation.");
    cmd->add_option("FILE", a->file, "a total or subject bank")->required()->type_name("FILE");
    cmd->callback([a, &run] { run = [a] { return List(*a); }; });
  }
}

}  // namespace vardenix::cli
