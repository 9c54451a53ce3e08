// The archive control: extracts a zip archive into a folder, reached by dispatch id.
//
// Contract the checks rely on: put 18 (archive path, text), 16 (False, Boolean), 11 (2, 16-bit),
// 4 (target folder, text), then call 48 with one 16-bit argument; it answers a 16-bit 0 on success
// and a non-zero code (below) on failure. Puts accept any value that converts to the member's type;
// 16 and 11 are stored and read back but do not change how an archive is extracted.
//
// Archives are untrusted. Before anything is written, every entry is checked and the whole archive is
// refused when one entry has an absolute name, a ".." component, a drive letter, a NUL, a name that
// does not decode, a part longer than Limits::name_component_bytes, a name longer than
// Limits::name_path_bytes or deeper than Limits::name_depth; is a link (symbolic or hard), device,
// or socket; is encrypted; repeats another entry's name; or when the archive has more entries
// than Limits::archive_entries or more bytes of names than Limits::archive_name_bytes. A name is
// decoded as UTF-8 when its UTF-8 flag is set, from the Info-ZIP Unicode Path extra field (0x7075)
// when that field's CRC matches the stored name, as UTF-8 when it is valid UTF-8 with non-ASCII
// bytes (Info-ZIP zip on Linux writes such names without the flag), and as CP936 otherwise (Chinese
// Windows). A backslash in a name is a folder separator. Padding before or after the archive is
// skipped. Each entry's data must expand to exactly the size the directory declares and match its
// CRC-32 (a folder's to nothing, whatever size it declares), or it is damaged. An entry with a fifo
// mode (Info-ZIP zip reading its standard input) is a regular file. An archive of no entries
// extracts nothing. What an extraction writes is bounded by Limits::archive_total_bytes, and an entry
// over Limits::archive_ratio_exempt_bytes that expands more than Limits::archive_ratio times is
// refused while writing. Whichever reader extracts an archive (in memory or libarchive, by
// Limits::archive_in_memory_bytes), it is judged alike.
//
// Files are written with mode 0644 and folders with 0755, never through a symlink already in the
// target folder; files the archive holds replace earlier ones of the same name (read-only ones too).
// Nothing is written outside the target folder. Damage found while writing (a bad checksum, data
// longer than declared), a cap passed while writing, a write that fails and the host's stop flag
// (checked before each entry and each block of data) stop the extraction, and everything it had
// written is removed again: no half answer stays behind, and no temporary ".part" file.
//
// Each extraction first removes what the previous successful extraction into the same folder (the
// same folder, however it is spelt) created: the files it wrote, while each is still the file it
// wrote (same inode, not rewritten since) and is not the archive about to be extracted, and the
// folders it made, when they are then empty. A symbolic link standing where one of them was is
// removed as a link; nothing is followed. Files the host put there are never removed. What the last
// extraction wrote stays until the next one, so a host can look at it. This memory is process-wide,
// keyed by folder, and bounded (the 256 most recent folders, 64 MiB of names).
//
// One control per thread: SystemArchiveControl answers the calling thread's own instance, so two
// check objects on two threads never share the properties that a put/put/put/put/call sequence
// sets (the sequence runs on one thread). An instance may still be used from another thread: its
// members are serialised, but callers that share one must order their own puts and calls.
#pragma once

#include <cstdint>
#include <string>

#include "platform/late_bound.h"
#include "platform/limits.h"

namespace vardenix {

namespace archive_dispid {
inline constexpr int32_t kZipFilename = 18;
inline constexpr int32_t kOption16 = 16;
inline constexpr int32_t kOption11 = 11;
inline constexpr int32_t kUnzipToFolder = 4;
inline constexpr int32_t kUnzip = 48;
// Get only: text saying why the last call 48 failed, naming the entry; empty after a success.
inline constexpr int32_t kLastFailureReason = 1000;
}  // namespace archive_dispid

// Answers of call 48. Each reason has its own code so that a host can tell them apart.
namespace archive_result {
inline constexpr int16_t kSuccess = 0;
inline constexpr int16_t kCannotOpen = 1;        // missing, unreadable, not a zip, truncated or damaged
inline constexpr int16_t kUnsafeName = 2;        // absolute, "..", drive letter, NUL, undecodable, empty, too long or deep
inline constexpr int16_t kUnsupportedEntry = 3;  // symlink, hard link, device, socket
inline constexpr int16_t kEncrypted = 4;
inline constexpr int16_t kDuplicateName = 5;     // two entries with one name, or a file where a folder must be
inline constexpr int16_t kTooLarge = 6;          // total bytes written, entry count, or the ratio of a large entry
inline constexpr int16_t kCorruptData = 7;       // found while writing: bad checksum, data at odds with its declared size
inline constexpr int16_t kCannotWrite = 8;       // a file or folder inside the target cannot be written
inline constexpr int16_t kNoTargetFolder = 9;    // the target folder is missing or not a folder
inline constexpr int16_t kStopped = 10;          // the host's stop flag was set
}  // namespace archive_result

// The failure reason of an extraction that would write more than Limits::archive_total_bytes: it
// names the limit and the command's flag that sets it.
inline std::string TooLargeReason(uint64_t limit) {
  return "the archive expands to more than " + std::to_string(limit) +
         " bytes, the limit on what one extraction writes (--max-extract-size)";
}

// The calling thread's archive control on libarchive, created on the thread's first use, set to the
// default Limits and no stop flag, whatever an earlier call set for this thread (on every platform):
// a host that asks for the plain control never inherits another caller's limits, nor a stop flag
// that may not outlive that caller.
DispatchObject& SystemArchiveControl();
// The same control, set to use `limits` and to watch `stop` (may be null; not owned, must outlive
// the calls) for its following calls.
DispatchObject& SystemArchiveControl(const Limits& limits, StopFlag* stop);

}  // namespace vardenix
