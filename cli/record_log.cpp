#include "cli/record_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>

#include "cli/check_results.h"
#include "cli/cli_support.h"

namespace vardenix::cli {
namespace {

// Up to kSpillBuffer bytes a piece stays in memory, so that a run of a few dozen records writes no
// file; beyond them, the piece goes into its file through a buffer of that size.
constexpr size_t kSpillBuffer = 64 * 1024;

std::string SpillFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && tmpdir[0] != '\0' ? std::string(tmpdir) : std::string("/tmp");
}

}  // namespace

SpillFile::~SpillFile() {
  if (fd_ >= 0) ::close(fd_);
}

void SpillFile::Append(const std::string& text) {
  buffer_ += text;
  size_ += text.size();
  if (buffer_.size() >= kSpillBuffer) Flush();
}

void SpillFile::Flush() {
  if (buffer_.empty()) return;
  if (fd_ < 0) {
    std::string path = SpillFolder() + "/vardenix-records-XXXXXX";
    fd_ = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd_ < 0) {
      throw UsageError("cannot make a file for the records in " + SpillFolder() + " (TMPDIR): " +
                       std::strerror(errno));
    }
    ::unlink(path.c_str());
  }
  size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::pwrite(fd_, buffer_.data() + done, buffer_.size() - done, static_cast<off_t>(flushed_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw UsageError("cannot write the records into " + SpillFolder() + " (TMPDIR): " +
                       std::strerror(n < 0 ? errno : ENOSPC));
    }
    done += static_cast<size_t>(n);
  }
  flushed_ += buffer_.size();
  buffer_.clear();
}

void SpillFile::Read(uint64_t begin, uint64_t end, const std::function<void(const char*, size_t)>& take) {
  // What is still in the buffer is read from it; the rest from the file.
  if (begin < flushed_) {
    std::string chunk(kSpillBuffer, '\0');
    const uint64_t file_end = std::min(end, flushed_);
    while (begin < file_end) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(file_end - begin, chunk.size()));
      const ssize_t n = ::pread(fd_, chunk.data(), want, static_cast<off_t>(begin));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        throw UsageError("cannot read the records back from " + SpillFolder() + " (TMPDIR): " +
                         std::strerror(n < 0 ? errno : EIO));
      }
      take(chunk.data(), static_cast<size_t>(n));
      begin += static_cast<uint64_t>(n);
    }
  }
  if (begin < end) take(buffer_.data() + (begin - flushed_), static_cast<size_t>(end - begin));
}

void SpillFile::CopyTo(std::ostream& out, uint64_t begin, uint64_t end) {
  Read(begin, end, [&out](const char* data, size_t size) { out.write(data, static_cast<std::streamsize>(size)); });
}

void SpillFile::AppendFrom(SpillFile& other) {
  other.Read(0, other.size_, [this](const char* data, size_t size) { Append(std::string(data, size)); });
}

void SpillFile::Clear() {
  buffer_.clear();
  flushed_ = 0;
  size_ = 0;
  if (fd_ >= 0 && ::ftruncate(fd_, 0) != 0) {
    throw UsageError("cannot empty a file of the records in " + SpillFolder() + " (TMPDIR): " + std::strerror(errno));
  }
}

void RecordCounts::Add(RecordOutcome outcome) {
  ++records;
  if (outcome == RecordOutcome::kPassed) ++passed;
  if (IsProblem(outcome)) ++not_passed;
  if (outcome == RecordOutcome::kNotGraded) {
    ++not_graded;
  } else {
    ++graded;
  }
}

void RecordLog::Keep(const RecordPieces& pieces) {
  pieces_ = pieces;
  try {
    if (pieces.json) json_ = std::make_unique<SpillFile>();
    if (pieces.text) text_ = std::make_unique<SpillFile>();
    if (pieces.draw_list) draws_ = std::make_unique<SpillFile>();
    if (pieces.junit) junit_ = std::make_unique<SpillFile>();
    if (pieces.html) {
      failure_rows_ = std::make_unique<SpillFile>();
      html_records_ = std::make_unique<SpillFile>();
      html_passed_ = std::make_unique<SpillFile>();
    }
  } catch (const std::exception& e) {
    problem_ = e.what();
  }
}

void RecordLog::Add(const RecordResult& record) noexcept {
  const int64_t number = counts_.records + 1;
  counts_.Add(record.outcome);
  if (!problem_.empty()) return;
  try {
    // The record's number on the page and its place in the JSON list: its place in draw order.
    if (json_) json_->Append((number > 1 ? "," : "") + RecordJson(record, pieces_.json_with_reports));
    const bool shown = record.outcome != RecordOutcome::kPassed &&
                       !(pieces_.dry_run && record.outcome == RecordOutcome::kNotGraded);
    if (text_ && shown) text_->Append(TextSummaryLine(record));
    if (draws_) draws_->Append(record.module + ' ' + record.rec_no + " (draw " + std::to_string(record.draw) + ")\n");
    if (junit_) {
      Suite& suite = SuiteNamed(record.typical_document ? std::string("typical document") : record.module);
      const uint64_t begin = junit_->Size();
      junit_->Append(JUnitCase(record, suite.name));
      if (!suite.spans.empty() && suite.spans.back().second == begin) {
        suite.spans.back().second = junit_->Size();
      } else {
        suite.spans.emplace_back(begin, junit_->Size());
      }
      ++suite.cases;
      suite.seconds += record.seconds;
      if (record.outcome == RecordOutcome::kFailed || record.outcome == RecordOutcome::kRefusedArchive) {
        ++suite.failures;
      }
      if (record.outcome == RecordOutcome::kRunTimeFailure) ++suite.errors;
      if (record.outcome == RecordOutcome::kNotGraded) ++suite.skipped;
    }
    if (html_records_) {
      if (shown) failure_rows_->Append(HtmlFailureRow(record, number));
      if (!group_open_ || record.typical_document != group_typical_ || record.module != group_module_) {
        CloseGroup();
        group_open_ = true;
        group_typical_ = record.typical_document;
        group_module_ = record.module;
        html_records_->Append(HtmlGroupHeading(record));
      }
      if (record.outcome == RecordOutcome::kPassed) {
        ++group_passed_;
        html_passed_->Append(HtmlPassedItem(record, number));
      } else {
        html_records_->Append(HtmlRecordArticle(record, number));
      }
    }
  } catch (const std::exception& e) {
    problem_ = e.what();
  }
}

void RecordLog::CloseGroup() {
  if (group_passed_ > 0) {
    html_records_->Append(HtmlPassedFoldStart(group_passed_));
    html_records_->AppendFrom(*html_passed_);
    html_records_->Append(kHtmlPassedFoldEnd);
    html_passed_->Clear();
  }
  group_passed_ = 0;
  group_open_ = false;
}

RecordLog::Suite& RecordLog::SuiteNamed(const std::string& name) {
  const auto [it, added] = suite_index_.emplace(name, suites_.size());
  if (added) suites_.push_back(Suite{name, 0, 0, 0, 0, 0.0, {}});
  return suites_[it->second];
}

void RecordLog::WriteJson(std::ostream& out) {
  if (json_) json_->CopyTo(out);
}

void RecordLog::WriteTextLines(std::ostream& out) {
  if (text_) text_->CopyTo(out);
}

void RecordLog::WriteDrawList(std::ostream& out) {
  if (draws_) draws_->CopyTo(out);
}

void RecordLog::WriteJUnitCases(const Suite& suite, std::ostream& out) {
  for (const auto& [begin, end] : suite.spans) junit_->CopyTo(out, begin, end);
}

void RecordLog::WriteFailureRows(std::ostream& out) {
  if (failure_rows_) failure_rows_->CopyTo(out);
}

void RecordLog::WriteHtmlRecords(std::ostream& out) {
  if (!html_records_) return;
  CloseGroup();
  html_records_->CopyTo(out);
}

}  // namespace vardenix::cli
