// The archive control: extracts a zip archive into a folder, reached by dispatch id.
//
// Contract the checks rely on: put 18 (archive path, text), 16 (False, Boolean), 11 (2, 16-bit),
// 4 (target folder, text), then call 48 with one 16-bit argument; it answers 0 on success and a
// non-zero code (below) on failure. One instance lives for the whole process.
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
// Text describing why the last call 48 failed; empty after a success. Vardenix's own member.
inline constexpr int32_t kLastFailureReason = 1000;
}  // namespace archive_dispid

// Answers of call 48.
namespace archive_result {
inline constexpr int16_t kSuccess = 0;
inline constexpr int16_t kCannotOpen = 1;         // missing, unreadable, not a zip, truncated directory
inline constexpr int16_t kUnsafeName = 2;         // absolute, "..", drive letter, NUL, undecodable
inline constexpr int16_t kUnsupportedEntry = 3;   // symlink, hard link, device, fifo
inline constexpr int16_t kEncrypted = 4;
inline constexpr int16_t kDuplicateName = 5;
inline constexpr int16_t kTooLarge = 6;           // total bytes, entry count or compression ratio
inline constexpr int16_t kCorruptData = 7;        // found while writing
inline constexpr int16_t kCannotWrite = 8;        // target folder missing or not writable
}  // namespace archive_result

// The process-wide archive control on libarchive, created on first use (thread-safe).
DispatchObject& SystemArchiveControl();

}  // namespace vardenix
