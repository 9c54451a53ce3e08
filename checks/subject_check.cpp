#include "checks/subject_check.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "checks/bank_queries.h"
#include "checks/close_object.h"
#include "checks/record_check.h"
#include "checks/scoring_run.h"
#include "hosting/cpu_placement.h"
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

// The positions in a listed selection of the records it names for `module`, in the order given.
std::vector<size_t> ListedRecords(const CheckContext& ctx, const std::string& module) {
  std::vector<size_t> records;
  if (!ctx.selection || ctx.selection->kind != SubjectSelection::Kind::kListed) return records;
  for (size_t i = 0; i < ctx.selection->listed.size(); ++i) {
    if (SameModule(ctx.selection->listed[i].first, module)) records.push_back(i);
  }
  return records;
}

// The draws of a sweep that one shard takes: [begin, end) of the numbers 0, 1, ... the draws get
// across the modules in sweep order.
struct ShardRange {
  int64_t begin = 0;
  int64_t end = INT64_MAX;
};

// Counts the draws of a whole kEveryQuestion or kListed sweep (a question list per module) and
// answers the shard's contiguous share of them. The module list is left on its first row.
ShardRange ShardOfSweep(const CheckContext& ctx, Recordset& modules, Database& subject) {
  const SubjectSelection& selection = *ctx.selection;
  int64_t total = 0;
  modules.MoveFirst();
  while (!modules.Eof()) {
    const std::string module = TextOrEmpty(modules, "C_Module");
    const BankQuery questions = QuestionListQuery(module);
    std::unique_ptr<Recordset> list = subject.OpenRecordset(questions.text, questions.params);
    if (!(list->Bof() && list->Eof())) {
      if (selection.kind == SubjectSelection::Kind::kEveryQuestion) {
        list->MoveLast();
        total += list->RecordCount();
      } else {
        total += static_cast<int64_t>(ListedRecords(ctx, module).size());
      }
    }
    CloseObject(list);
    modules.MoveNext();
  }
  modules.MoveFirst();
  const auto k = static_cast<int64_t>(selection.shard_index);
  const auto n = static_cast<int64_t>(selection.shard_count);
  return ShardRange{k * total / n, (k + 1) * total / n};
}

// Grades the records of one module in several workers at once; the checking thread takes each
// record's outcome in bank order with Take. Each worker works in a folder of its own inside the
// check's working folder, with its own connection to the subject bank and (being a thread of its
// own) its own archive control; the scoring component comes from the shared registry, which serves
// several threads at once. The workers run at most a window of records ahead of the checking thread,
// and the outcomes wait in a ring of that many slots: a module of a million questions holds a few
// thousand outcomes at a time, not a million. The destructor stops the workers after their current
// record and waits.
class ParallelGrader {
 public:
  struct Graded {
    bool passed = false;
    std::string text;
    std::string xml;
    RecordResult record;
    std::string folder;  // the worker's working folder
  };

  ParallelGrader(CheckContext& ctx, const std::string& subject_path, const std::vector<std::string>& records,
                 int32_t jobs)
      : ctx_(ctx),
        subject_path_(subject_path),
        records_(records),
        slots_(std::min(records.size(), std::max<size_t>(kWindow, static_cast<size_t>(jobs) * kWindowPerWorker))) {
    const size_t workers = std::min<size_t>(static_cast<size_t>(jobs), records.size());
    // Every worker's folder is made (or emptied) before the first record is handed out: what an
    // earlier sweep left in one is not this answer's, and what the user keeps under that name is
    // refused, not removed. Done here, a refusal fails the check whichever worker would have been
    // fastest, also a worker that would have got no record.
    // Nothing under a mount point there is touched either: the sweep fails naming it.
    for (size_t n = 1; n <= workers; ++n) {
      ctx_.platform.footprints->RequireNoMountPoint(WorkerFolder(ctx_.ping_path, n));
      ctx_.platform.files->MakeWorkerFolder(WorkerFolder(ctx_.ping_path, n));
    }
    threads_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this, i, workers] { Work(i + 1, workers); });
  }
  ~ParallelGrader() {
    {
      std::lock_guard lock(mutex_);
      quit_.store(true);
    }
    room_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  ParallelGrader(const ParallelGrader&) = delete;
  ParallelGrader& operator=(const ParallelGrader&) = delete;

  // The outcome of record `index`, once a worker has it; rethrows a worker's failure to start. A
  // record that is not graded yet puts the checking thread to sleep until it is and a batch of the
  // records after it is too (or every record is), so that on a sweep the checking thread takes
  // outcomes in runs instead of waking the workers' cores for each one.
  // Records are taken in order, each once.
  Graded Take(size_t index) {
    std::unique_lock lock(mutex_);
    Slot& slot = slots_[index % slots_.size()];
    if (!slot.done) {
      waiting_for_ = index;
      done_.wait(lock, [&] { return Ready(index) || failure_; });
      waiting_for_ = kNobody;
    }
    if (!slot.done) std::rethrow_exception(failure_);
    slot.done = false;
    Graded graded = std::move(slot.graded);
    slot.graded = Graded();
    // The window moves on: a worker waiting for room may take the record one window ahead.
    taken_ = index + 1;
    lock.unlock();
    room_.notify_all();
    return graded;
  }

  // The working folder of worker `n` (from 1).
  static std::string WorkerFolder(const std::string& ping_path, size_t n) {
    return ArchivePath(ping_path, "vardenix-job-" + std::to_string(n));
  }

 private:
  struct Slot {
    bool done = false;
    Graded graded;
  };

  static constexpr size_t kNobody = static_cast<size_t>(-1);
  static constexpr size_t kBatch = 16;  // outcomes the checking thread wakes up to, at most
  // How far the workers may run ahead of the checking thread, in records: at least kWindow, and
  // kWindowPerWorker for each worker, so that a slow record holds up none of the others for long.
  static constexpr size_t kWindow = 1024;
  static constexpr size_t kWindowPerWorker = 64;

  // Whether the checking thread, waiting for record `index`, should wake: that record is graded and
  // so are the next kBatch records (as many as the window lets the workers grade) or every record
  // left (under mutex_).
  bool Ready(size_t index) const {
    const size_t ahead = std::min(kBatch, slots_.size() - 1);
    return slots_[index % slots_.size()].done && (completed_ == records_.size() || completed_ >= index + ahead);
  }

  void Work(size_t n, size_t workers) {
    // Each worker on a core of its own, with the component host it hands its records to.
    PlaceWorkerThread(n - 1, workers);
    try {
      const std::string folder = WorkerFolder(ctx_.ping_path, n);
      std::unique_ptr<Database> subject =
          ctx_.platform.database_engine().OpenDatabase(subject_path_, ctx_.platform.limits, ctx_.platform.stop);
      std::string info;
      std::string info_xml;
      CheckContext worker{ctx_.platform, folder, ctx_.ping_name, ErrorAccumulators{info, info_xml, ctx_.recorder.dom},
                          nullptr, ctx_.selection};
      while (true) {
        size_t index = 0;
        {
          // The next record, once the window has room for it.
          std::unique_lock lock(mutex_);
          room_.wait(lock, [&] { return quit_.load() || next_ >= records_.size() || next_ < taken_ + slots_.size(); });
          if (quit_.load() || next_ >= records_.size()) break;
          index = next_++;
        }
        Graded graded;
        graded.folder = folder;
        if (!records_[index].empty()) {
          const auto start = std::chrono::steady_clock::now();
          graded.passed = PingMdbRecNO(worker, graded.text, graded.xml, records_[index], *subject, &graded.record);
          graded.record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        std::lock_guard lock(mutex_);
        slots_[index % slots_.size()].graded = std::move(graded);
        slots_[index % slots_.size()].done = true;
        ++completed_;
        if (waiting_for_ != kNobody && Ready(waiting_for_)) done_.notify_one();
      }
      CloseObject(subject);
    } catch (...) {
      {
        std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        quit_.store(true);
      }
      done_.notify_all();
      room_.notify_all();
    }
  }

  CheckContext& ctx_;
  const std::string& subject_path_;
  const std::vector<std::string>& records_;
  std::vector<Slot> slots_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::condition_variable room_;  // the window moved on, or the workers are to stop
  size_t next_ = 0;               // the next record a worker takes
  size_t taken_ = 0;              // the records the checking thread has taken
  std::atomic<bool> quit_{false};
  std::exception_ptr failure_;
  size_t completed_ = 0;             // records graded so far
  size_t waiting_for_ = kNobody;     // the record the checking thread sleeps for
};

}  // namespace

int32_t SampleCount(float rate, int32_t count) {
  const double n = std::floor(static_cast<double>(rate) * static_cast<double>(count)) + 1.0;
  if (!(n >= -2147483648.0 && n <= 2147483647.0)) throw RuntimeError("Overflow");
  return static_cast<int32_t>(n);
}

std::string NothingGradedLine(const std::string& subject_code, int32_t drawn) {
  return "no operation question of subject " + subject_code + " could be graded: " + std::to_string(drawn) +
         " drawn, none with an answer";
}

bool SubjectMdbChk(CheckContext& ctx, std::string& err_text, std::string& err_xml,
                   const std::string& total_path, const std::string& subject_path,
                   const std::string& subject_code, int32_t contract_code, float rate,
                   SubjectTally* tally) noexcept {
  SubjectTally unused_tally;
  SubjectTally& counted = tally ? *tally : unused_tally;
  counted = SubjectTally();
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
    const uint64_t text_budget = ctx.platform.limits.bank_text_bytes;
    try {
      rs_modules = db_total->OpenRecordset(modules.text, modules.params, text_budget);
    } catch (const ValueTooLarge&) {
      throw RuntimeError("a module name (C_Module) of subject " + subject_code + " in the total bank is over the " +
                         BudgetWords(text_budget) + " limit");
    }

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
    // A shard answers for the listed records its draws reach, and the last shard also for those no
    // module reaches.
    const bool sharded = ctx.selection && ctx.selection->shard_count > 1 &&
                         ctx.selection->kind != SubjectSelection::Kind::kSample;
    const ShardRange shard = sharded ? ShardOfSweep(ctx, *rs_modules, *db_subject) : ShardRange{};
    const bool last_shard = !sharded || ctx.selection->shard_index == ctx.selection->shard_count - 1;
    std::vector<char> listed_reached(listing ? ctx.selection->listed.size() : 0, 0);
    std::vector<char> listed_here(listing ? ctx.selection->listed.size() : 0, 0);
    int64_t sweep_base = 0;  // the sweep number of the module's first draw
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
      try {
        rs_questions = db_subject->OpenRecordset(questions.text, questions.params, text_budget);
      } catch (const ValueTooLarge&) {
        throw RuntimeError("a record number (C_RecNo) of module " + module + " in the subject bank is over the " +
                           BudgetWords(text_budget) + " limit");
      }
      if (!(rs_questions->Bof() && rs_questions->Eof())) {
        rs_questions->MoveLast();
        const int32_t count = rs_questions->RecordCount();
        const SubjectSelection::Kind kind = ctx.selection ? ctx.selection->kind : SubjectSelection::Kind::kSample;
        const std::vector<size_t> listed = ListedRecords(ctx, module);
        const int32_t samples = kind == SubjectSelection::Kind::kSample          ? SampleCount(rate, count)
                                : kind == SubjectSelection::Kind::kEveryQuestion ? count
                                                                                 : static_cast<int32_t>(listed.size());
        // The module's draws this check takes: all of them, or the shard's share, first..last.
        const auto first = static_cast<int32_t>(std::max<int64_t>(shard.begin - sweep_base, 0) + 1);
        const auto last = static_cast<int32_t>(std::min<int64_t>(shard.end - sweep_base, samples));
        const int32_t taken = std::max(last - first + 1, 0);
        for (size_t i = 0; i < listed.size(); ++i) {
          listed_reached[listed[i]] = 1;
          if (static_cast<int32_t>(i) + 1 >= first && static_cast<int32_t>(i) + 1 <= last) listed_here[listed[i]] = 1;
        }
        sweep_base += samples;
        if (ctx.observer) ctx.observer->OnModule(module_index, module, count, taken);
        if (kind == SubjectSelection::Kind::kSample) random.Reseed();
        // A sweep of every question in several workers: the record numbers are read first, the
        // workers grade them, and the loop below takes their outcomes in bank order.
        std::vector<std::string> sweep;
        std::optional<ParallelGrader> grader;
        const auto move_to = [&](int32_t sample) {
          if (sample == first) {
            rs_questions->MoveFirst();
            if (first > 1) rs_questions->Move(first - 1);
          } else {
            rs_questions->MoveNext();
          }
        };
        if (kind == SubjectSelection::Kind::kEveryQuestion && ctx.selection->grade && ctx.selection->jobs > 1 &&
            taken > 0) {
          sweep.reserve(static_cast<size_t>(taken));
          for (int32_t sample = first; sample <= last; ++sample) {
            move_to(sample);
            sweep.push_back(TextOrEmpty(*rs_questions, "C_RecNo"));
          }
          grader.emplace(ctx, subject_path, sweep, ctx.selection->jobs);
        }
        for (int32_t sample = first; sample <= last; ++sample) {
          // A host (or Ctrl-C) may stop a long run between samples; what was reported stays.
          if (ctx.platform.stop && ctx.platform.stop->load()) throw RuntimeError(kStoppedDescription);
          std::string rec_no;
          if (kind == SubjectSelection::Kind::kListed) {
            rec_no = ctx.selection->listed[listed[static_cast<size_t>(sample - 1)]].second;
          } else if (grader) {
            rec_no = sweep[static_cast<size_t>(sample - first)];
          } else if (kind == SubjectSelection::Kind::kEveryQuestion) {
            move_to(sample);
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
          ++counted.drawn;
          if (rec_no.empty() || (ctx.selection && !ctx.selection->grade)) {
            // Its slot is taken all the same: the workers' window moves on, and the slot is empty
            // for the record that comes to it next.
            if (grader) grader->Take(static_cast<size_t>(sample - first));
            record.reason = rec_no.empty() ? "the drawn Tbl_Public row has no record number (C_RecNo)" : "dry run";
            if (ctx.observer) ctx.observer->OnRecord(record);
            if (listing && !rec_no.empty()) note_listed(module, rec_no, record.reason);
            continue;
          }

          std::string record_text;
          std::string record_xml;
          bool passed = false;
          if (grader) {
            ParallelGrader::Graded graded = grader->Take(static_cast<size_t>(sample - first));
            passed = graded.passed;
            record_text = std::move(graded.text);
            record_xml = std::move(graded.xml);
            graded.record.module = record.module;
            graded.record.rec_no = record.rec_no;
            graded.record.draw = record.draw;
            record = std::move(graded.record);
            if (record.outcome == RecordOutcome::kRefusedArchive && ctx.observer) {
              ctx.observer->OnExtractionFailed(ArchivePath(graded.folder, kRecordArchive), record.reason);
            }
          } else {
            const auto start = std::chrono::steady_clock::now();
            passed = PingMdbRecNO(ctx, record_text, record_xml, rec_no, *db_subject, &record);
            record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          }
          if (record.outcome != RecordOutcome::kNotGraded) ++counted.graded;
          if (!passed) {
            verdict = false;
            err_text += record_text;
            merged_xml.Merge(record_xml);
            record.report_text = std::move(record_text);
            record.report_xml = std::move(record_xml);
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
      if (sharded && !(listed_here[i] || (!listed_reached[i] && last_shard))) continue;
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
