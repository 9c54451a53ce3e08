// A zip archive's directory as raw bytes: every entry's stored names, flags and sizes.
//
// The archive control reads archives with libarchive, which hides what an untrusted archive can use
// against it: it cuts names at a NUL, keeps no compressed sizes and allows entries whose data
// overlap. This reader looks at the central directory and each local header without decoding
// anything, so those checks can be made before extraction. It reads through its own file descriptor
// and holds one entry per central-directory record (at most `max_entries`). Any thread; no state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vardenix::zip {

struct RawEntry {
  std::string central_name;  // name bytes of the central-directory record
  std::string local_name;    // name bytes of the local header
  std::string central_extra;  // extra fields of the central-directory record
  std::string local_extra;    // extra fields of the local header
  uint16_t central_flags = 0;
  uint16_t local_flags = 0;
  uint16_t method = 0;        // of the central-directory record
  uint16_t local_method = 0;  // of the local header
  uint32_t crc32 = 0;         // of the central-directory record
  uint16_t made_by = 0;              // high byte: the system the entry was made on (3 for Unix)
  uint32_t external_attributes = 0;  // on Unix, the file mode in the high 16 bits
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint64_t local_header_offset = 0;  // from the start of the file
  uint64_t data_offset = 0;          // from the start of the file
  // The local header's own CRC-32 and 32-bit sizes (zero when a data descriptor follows the data).
  uint32_t local_crc32 = 0;
  uint32_t local_compressed_size = 0;
  uint32_t local_uncompressed_size = 0;
};

// True when `extra` is a sequence of extra fields (a 2-byte tag, a 2-byte length, that many bytes)
// none of which runs past its end, as libarchive requires: it ignores fewer than 4 bytes left over
// after a field, and takes an extra block of 1 to 3 bytes only when they are zeros (padding).
bool ExtraFieldsWellFormed(const std::string& extra);

enum class DirectoryStatus {
  kOk,
  kNotZip,          // no end-of-directory record, or records that point outside the file
  kTooManyEntries,  // the directory declares more than max_entries entries
  kNamesTooLong,    // the entries' names add up to more than max_name_bytes
  kOverlap,         // two entries share bytes, or an entry runs into the directory
};

struct Directory {
  DirectoryStatus status = DirectoryStatus::kNotZip;
  std::string why;  // for a failure: what was wrong, for the control's failure reason
  std::vector<RawEntry> entries;  // in local-header order
  // Where the archive ends: just past the end-of-directory record and its comment (at most the file's
  // size). Bytes after it are padding; a reader shown only [0, archive_end) finds the same end record.
  uint64_t archive_end = 0;
  uint64_t end_record = 0;  // where the end-of-directory record starts (its comment follows it)
};

// General-purpose flag bits that matter to the control.
inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagStrongEncryption = 0x0040;
inline constexpr uint16_t kFlagUtf8 = 0x0800;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kMethodAes = 99;
inline constexpr uint8_t kMadeOnUnix = 3;

// How far from the end of the file the end-of-directory record is looked for: padding written after
// an archive (by a disk image, a download, a mail program) is skipped up to this much.
inline constexpr uint64_t kMaxTrailingBytes = uint64_t{16} << 20;

// Reads the directory of the zip archive open on `fd` (a regular file; its offset is not used).
// Memory is bounded by `max_entries` records and `max_name_bytes` of central-directory names.
Directory ReadDirectory(int fd, uint64_t max_entries, uint64_t max_name_bytes);

}  // namespace vardenix::zip
