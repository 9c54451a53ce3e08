// Reads only the fixed-layout records of the zip format: the end-of-central-directory record (and
// its zip64 form), the central-directory records and the local headers. Data is never read.
#include "archive/zip_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vardenix::zip {
namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kEnd64Signature = 0x06064b50;
constexpr uint32_t kEnd64LocatorSignature = 0x07064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kEnd64Size = 56;
constexpr size_t kEnd64LocatorSize = 20;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr size_t kMaxComment = 0xffff;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | (static_cast<uint32_t>(Le16(p + 2)) << 16); }
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

// Reads through a window so that walking tens of thousands of small records costs few system calls.
class WindowReader {
 public:
  WindowReader(int fd, uint64_t size) : fd_(fd), size_(size) {}

  // Copies `len` bytes at `offset` into `out`; false when they are not all in the file.
  bool Read(uint64_t offset, size_t len, uint8_t* out) {
    if (offset > size_ || len > size_ - offset) return false;
    if (offset < start_ || offset + len > start_ + buffer_.size()) {
      if (!Fill(offset, std::max(len, kWindow))) return false;
    }
    std::memcpy(out, buffer_.data() + (offset - start_), len);
    return true;
  }

  bool ReadString(uint64_t offset, size_t len, std::string& out) {
    out.resize(len);
    return Read(offset, len, reinterpret_cast<uint8_t*>(out.data()));
  }

 private:
  static constexpr size_t kWindow = 128 * 1024;

  bool Fill(uint64_t offset, size_t want) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(want, size_ - offset));
    buffer_.resize(len);
    size_t done = 0;
    while (done < len) {
      const ssize_t n = ::pread(fd_, buffer_.data() + done, len - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        buffer_.clear();
        return false;
      }
      done += static_cast<size_t>(n);
    }
    start_ = offset;
    return true;
  }

  int fd_;
  uint64_t size_;
  uint64_t start_ = 0;
  std::vector<uint8_t> buffer_;
};

Directory Fail(DirectoryStatus status, std::string why) {
  Directory d;
  d.status = status;
  d.why = std::move(why);
  return d;
}

// Where the central directory lies, from the end record (zip64 where the plain one overflows).
struct Span {
  uint64_t entries = 0;
  uint64_t offset = 0;  // of the first central record, from the start of the file
  uint64_t size = 0;
  uint64_t shift = 0;  // bytes before the archive proper (a self-extractor's stub)
  uint64_t archive_end = 0;  // just past the end record and its comment
  uint64_t end_record = 0;   // where the end record starts
};

// The position of the last end-of-directory signature within the search window, or false.
bool LastEndSignature(WindowReader& in, uint64_t file_size, uint64_t& found) {
  const uint64_t window = std::min<uint64_t>(file_size, kEndSize + kMaxComment + kMaxTrailingBytes);
  constexpr uint64_t kChunk = 64 * 1024;
  std::vector<uint8_t> chunk;
  // Chunks from the end backwards, each overlapping the next by three bytes so that no signature is cut.
  for (uint64_t hi = file_size; hi > file_size - window;) {
    const uint64_t lo = hi - std::min<uint64_t>(kChunk, hi - (file_size - window));
    const uint64_t len = std::min<uint64_t>(hi + 3, file_size) - lo;
    chunk.resize(static_cast<size_t>(len));
    if (!in.Read(lo, chunk.size(), chunk.data())) return false;
    for (size_t i = chunk.size() >= 4 ? chunk.size() - 3 : 0; i-- > 0;) {
      if (lo + i + kEndSize <= file_size && Le32(chunk.data() + i) == kEndSignature) {
        found = lo + i;
        return true;
      }
    }
    hi = lo;
  }
  return false;
}

bool FindEnd(WindowReader& in, uint64_t file_size, Span& span, std::string& why) {
  if (file_size < kEndSize) {
    why = "the file is too short to be a zip archive";
    return false;
  }
  // The last end signature, whatever its comment length says, because that is the one libarchive
  // extracts by once it is shown the file up to that record: were this reader to pick another (say,
  // skipping a signature planted in the comment), it would check one directory while libarchive
  // extracted the entries of another. Padding after the record is cut off before libarchive reads
  // the archive. Archives may carry a prefix (self-extractors), so offsets are corrected by how far
  // the directory really sits from where the record says.
  uint64_t end_pos = 0;
  uint8_t record[kEndSize];
  if (!LastEndSignature(in, file_size, end_pos)) {
    why = "not a zip archive (no end-of-directory record)";
    return false;
  }
  if (!in.Read(end_pos, kEndSize, record)) {
    why = "cannot read the end of the archive";
    return false;
  }
  {
    const uint8_t* p = record;
    const uint16_t disk = Le16(p + 4), cd_disk = Le16(p + 6);
    uint64_t entries = Le16(p + 10);
    uint64_t cd_size = Le32(p + 12);
    uint64_t cd_offset = Le32(p + 16);
    // The plain record as libarchive accepts one: one volume, and a directory that ends before it.
    const bool plain_ok = disk == 0 && cd_disk == 0 && Le16(p + 8) == Le16(p + 10) && cd_size <= end_pos &&
                          cd_offset <= end_pos - cd_size;
    // libarchive follows a zip64 locator in front of the end record whenever it leads to a sound
    // zip64 record, even when the plain record has overflowed nothing, and falls back to the plain
    // record otherwise (a name may end in bytes that look like a locator); this reader does the same.
    uint8_t loc[kEnd64LocatorSize];
    const bool has_locator = end_pos >= kEnd64LocatorSize &&
                             in.Read(end_pos - kEnd64LocatorSize, sizeof loc, loc) &&
                             Le32(loc) == kEnd64LocatorSignature;
    uint8_t rec[kEnd64Size];
    const uint64_t rec_offset = has_locator ? Le64(loc + 8) : 0;
    const bool zip64_ok = has_locator && Le32(loc + 4) == 0 && Le32(loc + 16) == 1 &&
                          in.Read(rec_offset, sizeof rec, rec) && Le32(rec) == kEnd64Signature &&
                          Le64(rec + 4) >= kEnd64Size - 12 && Le64(rec + 4) <= 16384 - 12 &&
                          Le64(rec + 4) + 12 <= file_size - rec_offset && Le32(rec + 16) == 0 &&
                          Le32(rec + 20) == 0 && Le64(rec + 24) == Le64(rec + 32);
    const bool overflowed = entries == 0xffff || cd_size == 0xffffffff || cd_offset == 0xffffffff;
    if (zip64_ok) {
      entries = Le64(rec + 32);
      cd_size = Le64(rec + 40);
      cd_offset = Le64(rec + 48);
      span = {entries, cd_offset, cd_size};
    } else if (overflowed) {
      why = "the zip64 end record is missing or damaged";
      return false;
    } else if (!plain_ok) {
      if (disk != 0 || cd_disk != 0 || Le16(p + 8) != Le16(p + 10)) {
        why = "multi-volume archives are not supported";
      } else {
        why = "the central directory lies outside the file";
      }
      return false;
    } else {
      // Stored offsets count from the start of the archive proper; a stub before it shifts them all.
      span = {entries, end_pos - cd_size, cd_size, end_pos - cd_size - cd_offset};
    }
    if (span.offset > file_size || span.size > file_size - span.offset) {
      why = "the central directory lies outside the file";
      return false;
    }
    span.end_record = end_pos;
    span.archive_end = std::min<uint64_t>(file_size, end_pos + kEndSize + Le16(p + 20));
    return true;
  }
}

// Reads the zip64 extra field for the values the fixed record marks as overflowed.
void ApplyZip64(const std::string& extra, RawEntry& e, bool usize_max, bool csize_max, bool offset_max) {
  const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
  size_t pos = 0;
  while (pos + 4 <= extra.size()) {
    const uint16_t id = Le16(p + pos), len = Le16(p + pos + 2);
    if (pos + 4 + len > extra.size()) return;
    if (id == 0x0001) {
      size_t f = pos + 4;
      const size_t end = f + len;
      if (usize_max && f + 8 <= end) e.uncompressed_size = Le64(p + f), f += 8;
      if (csize_max && f + 8 <= end) e.compressed_size = Le64(p + f), f += 8;
      if (offset_max && f + 8 <= end) e.local_header_offset = Le64(p + f);
      return;
    }
    pos += 4 + len;
  }
}

}  // namespace

Directory ReadDirectory(int fd, uint64_t max_entries, uint64_t max_name_bytes) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return Fail(DirectoryStatus::kNotZip, "not a regular file");
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  WindowReader in(fd, file_size);
  Span span;
  std::string why;
  if (!FindEnd(in, file_size, span, why)) return Fail(DirectoryStatus::kNotZip, why);
  if (span.entries > max_entries) {
    return Fail(DirectoryStatus::kTooManyEntries,
                "the archive declares " + std::to_string(span.entries) + " entries");
  }
  // Each central record holds at least its fixed part, which bounds a lying entry count.
  if (span.entries > span.size / kCentralSize) {
    return Fail(DirectoryStatus::kNotZip, "the central directory is shorter than its entry count");
  }
  Directory dir;
  dir.archive_end = span.archive_end;
  dir.end_record = span.end_record;
  dir.entries.reserve(static_cast<size_t>(span.entries));
  uint64_t name_bytes = 0;
  uint64_t pos = span.offset;
  const uint64_t cd_end = span.offset + span.size;
  for (uint64_t i = 0; i < span.entries; ++i) {
    uint8_t h[kCentralSize];
    if (pos + kCentralSize > cd_end || !in.Read(pos, kCentralSize, h) || Le32(h) != kCentralSignature) {
      return Fail(DirectoryStatus::kNotZip, "central directory record " + std::to_string(i + 1) + " is damaged");
    }
    RawEntry e;
    e.made_by = Le16(h + 4);
    e.central_flags = Le16(h + 8);
    e.external_attributes = Le32(h + 38);
    e.method = Le16(h + 10);
    e.crc32 = Le32(h + 16);
    e.compressed_size = Le32(h + 20);
    e.uncompressed_size = Le32(h + 24);
    const uint16_t name_len = Le16(h + 28), extra_len = Le16(h + 30), comment_len = Le16(h + 32);
    e.local_header_offset = Le32(h + 42);
    name_bytes += name_len;
    if (name_bytes > max_name_bytes) {
      return Fail(DirectoryStatus::kNamesTooLong, "the entries' names add up to more than " +
                                                      std::to_string(max_name_bytes) + " bytes");
    }
    std::string& extra = e.central_extra;
    const uint64_t record_end = pos + kCentralSize + name_len + extra_len + comment_len;
    if (record_end > cd_end || !in.ReadString(pos + kCentralSize, name_len, e.central_name) ||
        !in.ReadString(pos + kCentralSize + name_len, extra_len, extra)) {
      return Fail(DirectoryStatus::kNotZip, "central directory record " + std::to_string(i + 1) + " is damaged");
    }
    ApplyZip64(extra, e, Le32(h + 24) == 0xffffffff, Le32(h + 20) == 0xffffffff, Le32(h + 42) == 0xffffffff);
    if (e.local_header_offset > file_size - span.shift) {
      return Fail(DirectoryStatus::kNotZip, "entry " + std::to_string(i + 1) + " points outside the file");
    }
    e.local_header_offset += span.shift;
    dir.entries.push_back(std::move(e));
    pos = record_end;
  }
  // libarchive reads central records up to the end record, whatever the count says; a record past
  // the count would be extracted without having been checked here.
  uint8_t next[4];
  if (!in.Read(pos, sizeof next, next) || (Le32(next) != kEndSignature && Le32(next) != kEnd64Signature)) {
    return Fail(DirectoryStatus::kNotZip, "the central directory holds more records than its end record counts");
  }

  for (size_t i = 0; i < dir.entries.size(); ++i) {
    RawEntry& e = dir.entries[i];
    uint8_t h[kLocalSize];
    if (!in.Read(e.local_header_offset, kLocalSize, h) || Le32(h) != kLocalSignature) {
      return Fail(DirectoryStatus::kNotZip, "the local header of entry " + std::to_string(i + 1) + " is missing");
    }
    e.local_flags = Le16(h + 6);
    e.local_method = Le16(h + 8);
    e.local_crc32 = Le32(h + 14);
    e.local_compressed_size = Le32(h + 18);
    e.local_uncompressed_size = Le32(h + 22);
    const uint16_t name_len = Le16(h + 26), extra_len = Le16(h + 28);
    if (!in.ReadString(e.local_header_offset + kLocalSize, name_len, e.local_name) ||
        !in.ReadString(e.local_header_offset + kLocalSize + name_len, extra_len, e.local_extra)) {
      return Fail(DirectoryStatus::kNotZip, "the local header of entry " + std::to_string(i + 1) + " is damaged");
    }
    e.data_offset = e.local_header_offset + kLocalSize + name_len + extra_len;
  }

  std::sort(dir.entries.begin(), dir.entries.end(),
            [](const RawEntry& a, const RawEntry& b) { return a.local_header_offset < b.local_header_offset; });
  for (size_t i = 0; i < dir.entries.size(); ++i) {
    const RawEntry& e = dir.entries[i];
    const uint64_t limit = i + 1 < dir.entries.size() ? dir.entries[i + 1].local_header_offset : span.offset;
    if (e.data_offset > limit || e.compressed_size > limit - e.data_offset) {
      return Fail(DirectoryStatus::kOverlap, "the data of an entry overlaps the next entry or the directory");
    }
  }
  dir.status = DirectoryStatus::kOk;
  return dir;
}

bool ExtraFieldsWellFormed(const std::string& extra) {
  const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
  if (extra.size() < 4) {
    // Too short for one field: taken only as padding of zero bytes.
    return std::all_of(extra.begin(), extra.end(), [](char c) { return c == 0; });
  }
  size_t pos = 0;
  while (extra.size() - pos >= 4) {
    const size_t len = Le16(p + pos + 2);
    if (len > extra.size() - pos - 4) return false;
    pos += 4 + len;
  }
  return true;
}

}  // namespace vardenix::zip
