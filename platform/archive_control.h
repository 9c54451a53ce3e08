// The archive control: extracts a zip archive into a folder, reached by dispatch id.
//
// Contract the checks rely on: put 18 (archive path, text), 16 (False, Boolean), 11 (2, 16-bit),
// 4 (target folder, text), then call 48 with one 16-bit argument; it answers a 16-bit 0 on success
// and a non-zero code (below) on failure. Puts accept any value that converts to the member's type;
// 16 and 11 are stored and read back but do not change how an archive is extracted.
//
// Archives are untrusted. Before anything is written, every entry is checked and the whole archive is
// refused when one entry has an absolute name, a ".." component, a drive letter, a NUL or a name that
// does not decode (UTF-8 when the entry's UTF-8 flag is set, CP936 otherwise); is a link, device or
// fifo; is encrypted; repeats another entry's name; or when the archive passes the caps on entry
// count, total size or compression ratio. A backslash in a name is a folder separator. Files are
// written with mode 0644 and folders with 0755, never through a symlink already in the target folder;
// files the archive holds replace earlier ones of the same name (read-only ones too), and files the
// archive does not hold are left alone. Nothing is written outside the target folder. Damage found
// while writing (a bad checksum, data longer than declared) stops the extraction: entries written
// before it stay, and the failing entry's file keeps its earlier content or is not created.
//
// One instance lives for the whole process, created on first use. Its members may be used from any
// thread; calls are serialised, so a put from one thread and a call 48 from another do not interleave
// halfway, but callers that share the control must still order their own puts and calls.
#pragma once

#include <cstdint>

#include "platform/late_bound.h"

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
inline constexpr int16_t kUnsafeName = 2;        // absolute, "..", drive letter, NUL, undecodable, empty
inline constexpr int16_t kUnsupportedEntry = 3;  // symlink, hard link, device, fifo, socket
inline constexpr int16_t kEncrypted = 4;
inline constexpr int16_t kDuplicateName = 5;     // two entries with one name, or a file where a folder must be
inline constexpr int16_t kTooLarge = 6;          // total bytes, entry count or compression ratio
inline constexpr int16_t kCorruptData = 7;       // found while writing: bad checksum, short or excess data
inline constexpr int16_t kCannotWrite = 8;       // a file or folder inside the target cannot be written
inline constexpr int16_t kNoTargetFolder = 9;    // the target folder is missing or not a folder
}  // namespace archive_result

// The process-wide archive control on libarchive, created on first use (thread-safe).
DispatchObject& SystemArchiveControl();

}  // namespace vardenix
