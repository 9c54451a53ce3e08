#include "cli/bank_command.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
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
  // import
  std::string from;
  std::string manifest;
  // list
  std::string only_module;
  int64_t limit = -1;
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

// The answer text of a file, as --answer-file reads it; `what` names the file in a refusal.
std::string ReadAnswerFile(const std::string& path, const std::string& what) {
  const std::vector<uint8_t> bytes = ReadInputFile(path, what);
  std::string text;
  try {
    text = DecodeTextFile(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), what + " " + path);
  } catch (const RuntimeError& e) {
    throw UsageError(e.what());
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

// The answer archive of an imported question: a folder zipped now, or a zip file stored as it is
// once the archive control has shown it can extract it.
std::vector<uint8_t> ImportArchive(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return ZipFolder(path);
  std::vector<uint8_t> content = ReadInputFile(path, "the answer archive");
  RequireExtractableArchive(content, path);
  return content;
}

// The questions of a folder tree: FROM/MODULE/REC_NO/ holding the rule file rule.txt (the answer
// text given to the scoring component) and the answer as a folder answer/ (zipped here) or a zip
// file answer.zip. In the order of module and record number names.
std::vector<NewQuestion> QuestionsOfTree(const std::string& from) {
  namespace fs = std::filesystem;
  RequireFolder(from, "the folder to import");
  const auto sorted = [](const fs::path& folder) {
    std::vector<fs::path> entries;
    for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
      if (e.is_directory() && e.path().filename().string()[0] != '.') entries.push_back(e.path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  };
  std::vector<NewQuestion> questions;
  for (const fs::path& module : sorted(from)) {
    for (const fs::path& question : sorted(module)) {
      NewQuestion q;
      q.module = module.filename().string();
      q.rec_no = question.filename().string();
      q.origin = "the folder " + (module.filename() / question.filename()).string();
      try {
        q.answer = ReadAnswerFile((question / "rule.txt").string(), "the rule file");
        const bool folder = fs::is_directory(question / "answer");
        const bool zip = fs::is_regular_file(question / "answer.zip");
        if (folder == zip) {
          throw UsageError(folder ? "it holds both answer/ and answer.zip; keep one"
                                  : "it holds no answer folder answer/ nor an answer archive answer.zip");
        }
        q.content = ImportArchive((question / (folder ? "answer" : "answer.zip")).string());
      } catch (const UsageError& e) {
        throw UsageError("nothing was imported: " + q.origin + ": " + e.what());
      }
      questions.push_back(std::move(q));
    }
  }
  return questions;
}

// The fields of one CSV line (RFC 4180: fields in double quotes may hold commas, line ends and
// doubled quotes). `at` moves past the line; false at the end of the text.
bool CsvLine(const std::string& text, size_t& at, std::vector<std::string>& fields) {
  fields.clear();
  if (at >= text.size()) return false;
  std::string field;
  bool quoted = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (quoted) {
      if (c == '"' && at + 1 < text.size() && text[at + 1] == '"') {
        field += '"';
        ++at;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.push_back(std::move(field));
      field.clear();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ++at;
      ++at;
      break;
    } else {
      field += c;
    }
  }
  fields.push_back(std::move(field));
  return true;
}

// The questions of a manifest, CSV (a header line naming the columns) or JSON (an array of
// objects), with the fields module, recNo, the answer as rule (a rule file) or answer (the text
// itself), and archive (a zip file or a folder). Paths are taken from the manifest's folder.
std::vector<NewQuestion> QuestionsOfManifest(const std::string& manifest) {
  namespace fs = std::filesystem;
  const std::vector<uint8_t> bytes = ReadInputFile(manifest, "the manifest");
  std::string text(bytes.begin(), bytes.end());
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a byte-order mark spreadsheets write
  if (!IsValidUtf8(text)) throw UsageError("the manifest " + manifest + " is not UTF-8 text");
  const fs::path base = fs::path(manifest).parent_path();
  const auto resolve = [&base](const std::string& path) {
    return fs::path(path).is_absolute() ? path : (base / path).string();
  };
  std::vector<std::map<std::string, std::string>> rows;
  std::vector<std::string> origins;  // "line 3 of FILE", "item 2 of FILE"
  const bool json = fs::path(manifest).extension() == ".json";
  if (json) {
    nlohmann::json list;
    try {
      list = nlohmann::json::parse(text);
    } catch (const std::exception& e) {
      throw UsageError("the manifest " + manifest + " is not JSON: " + e.what());
    }
    if (!list.is_array()) throw UsageError("the manifest " + manifest + " must be a JSON array of objects");
    for (size_t i = 0; i < list.size(); ++i) {
      std::map<std::string, std::string> row;
      if (list[i].is_object()) {
        for (const auto& [key, value] : list[i].items()) {
          if (!value.is_string()) {
            throw UsageError("nothing was imported: item " + std::to_string(i + 1) + " of " + manifest + ": \"" + key +
                             "\" is not a string");
          }
          row[key] = value.get<std::string>();
        }
      }
      rows.push_back(std::move(row));
      origins.push_back("item " + std::to_string(i + 1) + " of " + manifest);
    }
  } else {
    size_t at = 0;
    std::vector<std::string> header;
    if (!CsvLine(text, at, header)) throw UsageError("the manifest " + manifest + " is empty");
    std::vector<std::string> fields;
    int64_t line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
    for (size_t start = at; CsvLine(text, at, fields); start = at) {
      const int64_t this_line = line;
      line += std::count(text.begin() + static_cast<std::ptrdiff_t>(start), text.begin() + static_cast<std::ptrdiff_t>(at), '\n');
      if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
      // An empty field is a field not given: a manifest with both a rule and an answer column
      // gives one of them on each line.
      std::map<std::string, std::string> row;
      for (size_t i = 0; i < fields.size() && i < header.size(); ++i) {
        if (!fields[i].empty()) row[header[i]] = fields[i];
      }
      if (fields.size() != header.size()) row["\x01"] = std::to_string(fields.size());
      rows.push_back(std::move(row));
      origins.push_back("line " + std::to_string(this_line) + " of " + manifest);
    }
  }
  std::vector<NewQuestion> questions;
  for (size_t i = 0; i < rows.size(); ++i) {
    std::map<std::string, std::string>& row = rows[i];
    NewQuestion q;
    q.origin = origins[i];
    try {
      if (row.count("\x01") > 0) throw UsageError("it has " + row["\x01"] + " fields, the header names a different number");
      q.module = row["module"];
      q.rec_no = row["recNo"];
      if (q.module.empty()) throw UsageError("it names no module");
      if (q.rec_no.empty()) throw UsageError("it names no record number (recNo)");
      const bool rule = !row["rule"].empty();
      if (rule == (row.count("answer") > 0)) {
        throw UsageError("give the answer as a rule file (rule) or as text (answer), one of them");
      }
      q.answer = rule ? ReadAnswerFile(resolve(row["rule"]), "the rule file") : row["answer"];
      if (row["archive"].empty()) throw UsageError("it names no answer archive (archive)");
      q.content = ImportArchive(resolve(row["archive"]));
    } catch (const UsageError& e) {
      throw UsageError("nothing was imported: " + q.origin + ": " + e.what());
    }
    questions.push_back(std::move(q));
  }
  return questions;
}

int Import(const BankArgs& a) {
  if (a.from.empty() == a.manifest.empty()) {
    throw UsageError("give the questions as a folder tree (--from DIR) or a manifest (--manifest FILE.csv|FILE.json)");
  }
  RequireReadableFile(a.file, "the subject bank");
  const std::vector<NewQuestion> questions = a.from.empty() ? QuestionsOfManifest(a.manifest) : QuestionsOfTree(a.from);
  // A record number twice in the import is named before the bank is opened (the bank would refuse
  // it too, with the whole import).
  std::map<std::string, const NewQuestion*> seen;
  for (const NewQuestion& q : questions) {
    const auto [it, fresh] = seen.emplace(AsciiLower(q.rec_no), &q);
    if (!fresh) {
      throw UsageError("nothing was imported: " + q.origin + ": the record number " + q.rec_no + " is already in " +
                       it->second->origin);
    }
  }
  if (questions.empty()) throw UsageError("nothing to import: " + (a.from.empty() ? a.manifest : a.from) + " holds no question");
  try {
    AppendQuestions(a.file, questions);
  } catch (const RuntimeError& e) {
    throw UsageError(std::string(e.what()) + "; nothing was imported");
  }
  std::set<std::string> modules;
  for (const NewQuestion& q : questions) modules.insert(q.module);
  std::cout << "imported " << Count(static_cast<int64_t>(questions.size()), "question", "questions") << " of "
            << Count(static_cast<int64_t>(modules.size()), "module", "modules") << " into " << a.file << '\n';
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
    const auto shown = [&a](const std::string& module) {
      return a.only_module.empty() || EqualsIgnoringAsciiCase(module, a.only_module);
    };
    for (const BankSummary::Module& m : s.modules) {
      if (shown(m.name)) std::cout << "  module " << m.name << ": " << Count(m.questions, "question", "questions") << "\n";
    }
    int64_t listed = 0;
    int64_t left = 0;
    for (const BankSummary::Operation& op : s.operations) {
      if (!shown(op.module)) continue;
      if (a.limit >= 0 && listed >= a.limit) {
        ++left;
        continue;
      }
      ++listed;
      std::cout << "  record " << op.rec_no << (a.only_module.empty() ? " (" + op.module + ")" : std::string())
                << ": answer "
                << (op.answer_bytes < 0 ? std::string("(null)") : std::to_string(op.answer_bytes) + " bytes")
                << ", archive "
                << (op.archive_bytes < 0 ? std::string("(null)") : std::to_string(op.archive_bytes) + " bytes")
                << '\n';
    }
    if (left > 0) std::cout << "  ... and " << Count(left, "more record", "more records") << " (--limit " << a.limit << ")\n";
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
    cmd->add_option("--module", a->only_module, "of a subject bank, list only this module and its records");
    cmd->add_option("--limit", a->limit, "of a subject bank, list at most N records (and say how many more there are)")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber);
    cmd->callback([a, &run] { run = [a] { return List(*a); }; });
  }

  {
    auto a = std::make_shared<BankArgs>();
    CLI::App* cmd = bank->add_subcommand(
        "import", "Add many operation questions to a subject bank in one transaction: all of them, or, when one "
                  "is refused, none (the error names the first bad one).");
    cmd->add_option("SUBJECT", a->file, "the subject bank")->required()->type_name("FILE");
    cmd->add_option("--from", a->from,
                    "a folder tree: MODULE/REC_NO/ holding rule.txt (the answer text) and the answer as a folder "
                    "answer/ (zipped on import) or a zip file answer.zip")
        ->type_name("DIR");
    cmd->add_option("--manifest", a->manifest,
                    "a CSV file (a header line) or a JSON array naming module, recNo, rule (a rule file) or answer "
                    "(the text), and archive (a zip file or a folder); paths from the manifest's folder")
        ->type_name("FILE");
    cmd->callback([a, &run] { run = [a] { return Import(*a); }; });
  }
}

}  // namespace vardenix::cli
