// Limits: every bound that keeps a small hostile input (an archive, a question bank) from costing far
// more than its size, kept in one place. Each value says why it was chosen. A C++ host may raise or
// lower them through the platform bundle (Platform::limits) before a check object is created.
#pragma once

#include <atomic>
#include <cstdint>

namespace vardenix {

struct Limits {
  // Archives. An exam answer is a few documents: 1 GiB of output and 65,536 entries leave every real
  // answer far inside and stop decompression bombs early; the output cap is what bounds a bomb (the
  // command's --max-extract-size sets it). An entry over 64 MiB that expands more than 1000 times is
  // refused as well: no document compresses that far, while a file of zeros up to 64 MiB (10 MiB
  // zipped by `zip -9` is over 1000:1) is a legitimate, if odd, answer.
  uint64_t archive_total_bytes = uint64_t{1} << 30;
  uint64_t archive_entries = 65536;
  uint64_t archive_ratio = 1000;
  uint64_t archive_ratio_exempt_bytes = uint64_t{64} << 20;
  // Archives up to this size whose entries are plain (stored or deflated, no data descriptor, headers
  // that agree) are read into memory whole and inflated there; larger ones are streamed through
  // libarchive. Both readers judge every archive alike; the line only trades memory for speed.
  uint64_t archive_in_memory_bytes = uint64_t{8} << 20;
  // Names: what Linux file systems allow (NAME_MAX, PATH_MAX), and a depth no answer comes near
  // (Office documents and exam folders nest a handful of levels).
  uint32_t name_component_bytes = 255;
  uint32_t name_path_bytes = 4096;
  uint32_t name_depth = 128;
  // The names of one archive's entries together: 65,536 entries with names of 256 bytes. It bounds
  // the memory the directory, the plan and the record of what was extracted take.
  uint64_t archive_name_bytes = uint64_t{16} << 20;

  // Question banks. A module holds hundreds of questions and a record one answer archive of a few
  // MB (exam documents), so a few million rows can only be a broken or hostile bank, and 64 MiB
  // (counted as the record set holds it in memory, about 140 bytes a row of a question list) is
  // over ten times the largest real answer while an endless result stays under 100 MB of memory.
  // 30 s is far beyond any real query.
  uint64_t recordset_rows = 4'000'000;
  uint64_t recordset_bytes = uint64_t{64} << 20;
  uint32_t query_seconds = 30;
  // Each value a check reads from a bank is read alone under a budget of its own, refused before it
  // is read into memory: over it, the record (or the list) fails naming the field and the budget,
  // never reads as empty. An answer text is a rule of some lines and a record number or module name
  // a short text, so 16 MiB is thousands of times any real one; an answer archive is a few
  // documents, and 48 MiB is several times the largest real one while leaving the rest of its row
  // room within a record set's 64 MiB.
  uint64_t bank_text_bytes = uint64_t{16} << 20;
  uint64_t bank_archive_bytes = uint64_t{48} << 20;

  // Scoring components run out of process (see hosting/component_isolation.h). A component grades
  // a few documents against a rule text: real ones answer in well under a second and use tens of
  // MiB. 120 s leaves room for a slow grader on a loaded exam-centre machine while still ending a
  // hung one in a time an operator waits for; 2 GiB is far above any real grader and below what
  // would push a typical 8 GiB machine into swap; 64 MiB per answer string is thousands of times a
  // real error text or RuleErrs report, yet small enough to hold several at once.
  uint32_t component_seconds = 120;
  uint64_t component_memory_bytes = uint64_t{2} << 30;
  uint64_t component_answer_bytes = uint64_t{64} << 20;
};

// After SIGTERM, a stopped component's processes get this long to end before SIGKILL: enough for a
// process that handles SIGTERM to exit, short enough that a breach is answered well within half a
// second of its limit.
constexpr uint32_t kComponentStopGraceMs = 200;

// A flag a host (or the command, on Ctrl-C) sets to stop a running check at the next safe point:
// between samples of a subject check and between entries of an extraction. Not owned.
using StopFlag = std::atomic<bool>;

// What a check stopped through its StopFlag says, wherever the stop was seen (before a scoring run,
// in an extraction, in a query of a bank): one wording for one event.
inline constexpr const char kStoppedDescription[] =
    "the check was stopped by its host (on the command line: Ctrl-C or SIGTERM)";

}  // namespace vardenix
