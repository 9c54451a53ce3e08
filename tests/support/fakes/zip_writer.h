// Builds zip archives for tests, including the hostile ones no honest tool writes.
//
// Entries are written with libarchive's zip writer under placeholder names; then the stored names,
// flags and file types are patched into both the local and the central headers, so a name can hold
// a NUL, invalid UTF-8 or CP936 bytes and an entry can claim encryption or be a fifo. Throws
// std::runtime_error when libarchive refuses an entry. Any thread; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vardenix::fakes {

enum class ZipEntryType { kFile, kFolder, kSymlink, kHardLink, kFifo, kCharDevice, kSocket };

struct ZipEntry {
  std::string name;  // bytes exactly as stored in both headers
  std::string data;  // a file's bytes, or the target of a symlink or hard link
  ZipEntryType type = ZipEntryType::kFile;
  bool utf8_flag = false;       // general-purpose bit 11: the name is UTF-8
  bool encrypted_flag = false;  // general-purpose bit 0
};

enum class ZipMethod { kDeflate, kStore };

std::vector<uint8_t> BuildZip(const std::vector<ZipEntry>& entries, ZipMethod method = ZipMethod::kDeflate);

// Offset of the first data byte of entry `index` (in written order) of a zip made by BuildZip.
size_t DataOffset(const std::vector<uint8_t>& zip, size_t index);

// Makes the headers of entry `index` claim `size` uncompressed bytes (the data is unchanged).
void SetDeclaredSize(std::vector<uint8_t>& zip, size_t index, uint32_t size);

// Writes to `path` a zip of `files` deflated files "big/<n>.txt", each `bytes_each` bytes of text
// drawn from `seed` (it compresses about 2:1), streaming so that the archive is never in memory.
void WriteTextZip(const std::string& path, int files, uint64_t bytes_each, uint32_t seed);


// A regular entry of a zip as libarchive's reader reads it, independently of the archive control:
// its name with "\\" as "/" and without empty or "." parts (empty when the stored name is not
// ASCII, whose decoding is the control's business), and its bytes.
struct ZipFile {
  std::string name;
  std::string bytes;
};
// The regular entries of the zip at `path`, in the reader's order. Throws std::runtime_error when
// libarchive cannot read it.
std::vector<ZipFile> ReadZipFiles(const std::string& path);

}  // namespace vardenix::fakes
