// What the archive control accepts, on every platform: the judgement of an archive's raw directory
// (names, entry types, encryption, folders, extra fields), the name rules, and the bounds on the data
// an entry expands to. The Linux control (archive_control_libarchive.cpp) and the Windows one
// (windows/platform/archive_control_windows.cpp) both judge through here, so a rule changed here
// holds for both readers and both platforms. Portable code; no state; any thread.
//
// Failures are thrown as Refusal, which each control's call turns into its answer code and reason.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/limits.h"

namespace vardenix::archive_policy {

// Why an extraction stopped: an answer code of archive_result and a reason naming the entry.
struct Refusal {
  int16_t code;
  std::string reason;
};

[[noreturn]] void Refuse(int16_t code, std::string reason);
// Refuses with kStopped, saying kStoppedDescription (platform/limits.h): the host's stop flag is set.
[[noreturn]] void RefuseStopped();

// A name as it can be shown in a failure reason: valid UTF-8, control bytes escaped, cut short.
std::string Printable(const std::string& raw);
// The same in double quotes.
std::string Quoted(const std::string& name);

// The name rules a target file system adds. Windows refuses besides what Windows cannot hold or
// would read as something else: a device name (CON, COM1, "aux.txt"), a part ending in a dot or a
// space, one of < > : " | ? * or a control character (":" would also name an alternate data stream).
enum class NameRules { kPosix, kWindows };

// The entry's name as a relative path with "/" separators (a backslash is one too) and no empty or
// "." components. Refuses (kUnsafeName) a name that could reach outside the target folder (absolute,
// a drive letter, a ".." component), names nothing, breaks `rules`, or is longer or deeper than
// `limits` allow.
std::string RelativePath(const std::string& utf8, const Limits& limits, NameRules rules);

// One entry as the survey planned it; the writing pass meets the same entries in the same order.
struct PlannedEntry {
  std::string path;  // RelativePath of the decoded name
  bool is_folder = false;
  // As the raw directory has them, for reading the entry's data without libarchive.
  uint16_t method = 0;
  uint32_t crc32 = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;  // the size its data must expand to, exactly
  uint64_t data_offset = 0;
  // Headers with nothing unusual: the local header agrees with the directory (name, method, CRC-32
  // and sizes, no data descriptor, no zip64), and no ASi Unix field. Only an archive of such entries
  // may be read without libarchive, so that an odd archive is judged by libarchive whatever its size.
  bool plain = false;
};

struct Plan {
  std::vector<PlannedEntry> entries;  // in local-header order
  uint64_t archive_end = 0;           // where the archive ends (zip::Directory::archive_end)
  uint64_t end_record = 0;            // where its end-of-directory record starts
};

// Under `fold`, two names the target file system takes for one compare equal (Windows folds case);
// null where names are bytes.
using NameFold = std::function<std::string(const std::string&)>;

// Everything that can be known before writing, from the raw directory of the archive open on `fd`:
// the entry count and the bytes of names, NULs, names (decoded from the UTF-8 flag, the Info-ZIP
// Unicode Path field, UTF-8 bytes or CP936; local header and directory must agree) and their rules,
// Unix modes (a link, device or socket is refused; a fifo, as Info-ZIP zip records its standard
// input, is a file of its data), encryption, extra fields libarchive cannot read, folders that hold
// data, and two entries of one name or a file where a folder must be. Refuses the whole archive at
// the first entry that fails. The writing pass then checks each entry's data (EntryData).
Plan Survey(int fd, const Limits& limits, NameRules rules, const NameFold& fold = nullptr);

// The judgement of one entry's data while it is written: it must expand to exactly its declared
// size; what one extraction writes is bounded by Limits::archive_total_bytes (the refusal names the
// limit and the command's flag); an entry past Limits::archive_ratio_exempt_bytes may not expand more
// than Limits::archive_ratio times what it read of the archive.
class EntryData {
 public:
  // `total_written` counts what the extraction wrote so far, across its entries.
  EntryData(const Limits& limits, const std::string& rel, uint64_t declared_size, uint64_t& total_written)
      : limits_(limits), rel_(rel), declared_(declared_size), total_(total_written) {}
  // Before a block of `size` bytes at `offset` is written; `consumed` is what the entry has read of
  // the archive so far.
  void Block(uint64_t offset, uint64_t size, uint64_t consumed);
  // After the last block: the data ended where it had to.
  void End() const;
  uint64_t produced() const { return produced_; }

 private:
  const Limits& limits_;
  const std::string& rel_;
  uint64_t declared_;
  uint64_t& total_;
  uint64_t produced_ = 0;
};

}  // namespace vardenix::archive_policy
