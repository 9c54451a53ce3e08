// What the subcommands of the `vardenix` command share: exit statuses, the usage error, reading
// the files people name on the command line, and the environment-derived defaults.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

namespace vardenix::cli {

// Exit statuses of every subcommand.
inline constexpr int kExitPassed = 0;     // the verdict is True, or the command did what it was asked
inline constexpr int kExitNotPassed = 1;  // the verdict is False, whatever fault of the set-up caused it
// The command itself could not run: bad or contradictory flags, an input file of the command (an
// archive, a rule file, a module) it cannot read, an output it cannot write.
inline constexpr int kExitCannotRun = 2;

// A problem with what the user gave: its message says what was wrong and what to do. The command
// prints it and exits with kExitCannotRun.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

// The bytes of the regular file at `path`. Throws UsageError naming `what` ("the archive") and the
// path when it is missing, a folder or unreadable.
std::vector<uint8_t> ReadInputFile(const std::string& path, const std::string& what);
// Throws UsageError as ReadInputFile does unless a regular, readable file is at `path`.
void RequireReadableFile(const std::string& path, const std::string& what);
// Throws UsageError naming `what` unless a folder is at `path`.
void RequireFolder(const std::string& path, const std::string& what);
// True when a file or folder of any kind is at `path`.
bool PathExists(const std::string& path);
// Throws UsageError naming `what` and the path unless WriteOutputFile could write `path`: a file
// that is there must be writable and not a folder; otherwise its folder must be there and writable.
// Nothing is created or changed.
void RequireWritableFile(const std::string& path, const std::string& what);
// Writes `bytes` to `path`, replacing a file that is there, through a temporary file beside it that
// is renamed into place: on any failure the earlier file is left as it was and the temporary file is
// removed. Throws UsageError naming the path and the reason.
void WriteOutputFile(const std::string& path, const std::string& bytes);

// An output file written as a stream, the way WriteOutputFile writes it whole: into a temporary
// file beside `path` that Commit renames into place; until then (and when anything fails) the
// earlier file stays as it was, and the temporary file is removed when the object goes unCommitted.
// Throws UsageError naming the path and the reason.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::ostream& Stream() { return stream_; }
  // Writes what is buffered, syncs the file and renames it into place.
  void Commit();

 private:
  class Buffer : public std::streambuf {
   public:
    explicit Buffer(int fd);
    int Error() const { return error_; }
    int sync() override;

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;

   private:
    bool Drain();
    int fd_;
    int error_ = 0;
    char bytes_[64 * 1024];
  };
  [[noreturn]] void Fail(int err);

  std::string path_;
  std::string part_;
  int fd_ = -1;
  mode_t mode_ = 0644;
  std::unique_ptr<Buffer> buffer_;
  std::ostream stream_{nullptr};
  bool committed_ = false;
};

// An advisory lock (flock) on a working folder, held for the object's life, so that two commands
// never check in one folder at once. When another process holds it, either waits (saying so on
// stderr) or throws UsageError at once (`wait` false). Throws UsageError when the folder cannot be
// opened, or when a stop was requested while waiting.
class FolderLock {
 public:
  FolderLock(const std::string& folder, bool wait);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

// Ctrl-C (SIGINT) and SIGTERM set the stop flag that the check reads at its safe points; a second
// one ends the process at once. StopSignal answers the signal received (0 while none).
void InstallStopHandlers();
std::atomic<bool>& StopFlag();
bool StopRequested();
int StopSignal();

// An integer of the whole text, or nothing (no sign for unsigned types, no spaces, no overflow).
std::optional<int64_t> ParseInt64(const std::string& text);
std::optional<uint64_t> ParseUint64(const std::string& text);

// The registry folder used when --registry is not given: $XDG_DATA_HOME/vardenix/registry or
// ~/.local/share/vardenix/registry; empty when neither variable is usable.
std::string DefaultRegistry();

// "1 record graded", "3 records graded": `n` with the singular or the plural wording.
std::string Count(int64_t n, const char* one, const char* many);
// A new folder "vardenix-check-XXXXXX" under $TMPDIR (or /tmp). Throws UsageError when it cannot
// be made.
std::string MakeWorkingFolder();
// True when the folder at `path` holds anything at all (a file, a folder, a link). False for an
// empty folder, and when it cannot be read (the check then reports why).
bool FolderHoldsAnything(const std::string& path);
// Removes `path` and everything under it, never following a symbolic link (a link is removed as a
// link). Answers false, with the system's reason in `reason`, when something could not be removed.
bool RemoveTree(const std::string& path, std::string& reason);

// An absolute form of `path` (taken from the current folder when relative).
std::string Absolute(const std::string& path);

}  // namespace vardenix::cli
