// Entries of an archive the survey judged (archive_policy.h), read through libarchive on either
// platform: a view of the archive file that shows libarchive only the archive the survey found, the
// check of each header as libarchive reads it, and its data block by block.
//
// libarchive is used for each entry's type, encryption and data, entry by entry in the order of the
// survey's plan (both read in local-header order); names come from the survey, never from here.
// One reader per extraction; not shared between threads.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_policy.h"

namespace vardenix::archive_policy {

// One entry's data, block by block, as it is written out.
class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // The next block of the entry's data and where it goes in the file; false at the end. Refuses
  // (kCorruptData) data that is damaged.
  virtual bool Next(const std::string& rel, const void*& block, size_t& size, uint64_t& offset) = 0;
  // Bytes of the archive read for this entry so far, for the ratio rule.
  virtual uint64_t Consumed() const = 0;
};

// The archive file as libarchive is shown it: the bytes up to the end record the survey checked,
// with that record's comment cut off (its length reads as 0), so that padding after it cannot hide
// that record from libarchive or show it another one, and a long comment cannot push the record out
// of the last 16 KiB, where libarchive looks for it. Reads `fd` with pread; its offset is not used.
struct ArchiveView {
  ArchiveView(int fd, uint64_t end_record);
  int fd;
  uint64_t end;  // just past the end record
  uint64_t pos = 0;
  std::vector<char> block;
};

struct ReaderFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderFree>;

// libarchive's reason for its last failure.
std::string ArchiveError(archive* a);

// A reader over `view`, positioned before the first entry (refuses kCannotOpen). Names are read as
// ISO-8859-1, which takes any byte: they come from the survey instead. Not for an archive of no
// entries, which libarchive does not take (its end record is all there is).
Reader OpenReader(ArchiveView& view, const std::string& path);

// Reads the next header; false at the end. Refuses (kCannotOpen) a header libarchive cannot read.
bool NextHeader(archive* a, archive_entry*& entry);

// Refuses an entry the control must not extract, as libarchive sees it: encrypted, a link, a
// device or socket (a fifo's mode is a file's).
void CheckHeader(archive_entry* entry, const PlannedEntry& planned);

// The current entry of a libarchive reader.
class LibarchiveBlocks final : public BlockSource {
 public:
  explicit LibarchiveBlocks(archive* a) : a_(a), start_(archive_filter_bytes(a, -1)) {}
  bool Next(const std::string& rel, const void*& block, size_t& size, uint64_t& offset) override;
  uint64_t Consumed() const override;

 private:
  archive* a_;
  la_int64_t start_;
};

}  // namespace vardenix::archive_policy
