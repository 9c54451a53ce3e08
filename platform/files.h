// Files: the few file-system operations the checks need. Every failure throws RuntimeError with the
// path and the system's reason. A path that holds a NUL character is refused by every operation
// (FileExists included) before it reaches the system, which would read it only up to the NUL.
// Implementations are stateless and safe to share between threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vardenix {

class Files {
 public:
  virtual ~Files() = default;
  // True when a regular file is at `path` (a read-only one counts, a folder does not). Never throws
  // for a missing path; throws only when the file system cannot answer.
  virtual bool FileExists(const std::string& path) = 0;
  // Makes the file writable by its owner (the "normal" attributes).
  virtual void ResetAttributes(const std::string& path) = 0;
  virtual void Delete(const std::string& path) = 0;
  // Creates a new file and writes exactly `bytes` to it. Never follows a symlink at `path`.
  virtual void WriteNew(const std::string& path, const std::vector<uint8_t>& bytes) = 0;
  // Writes exactly `bytes` over the file at `path` in place, when that ends as clearing the way and
  // writing anew would: a regular file (no link is followed) of this process's user, with no other
  // name, that its user can read and write and nobody else can write or execute (mode 0644 or
  // narrower, as a file this system writes anew has it). Answers false, having changed
  // nothing, when the file is not such a file (or is not there); throws when writing fails part way.
  // The default answers false: the caller then clears the way and writes anew.
  virtual bool RewriteInPlace(const std::string& path, const std::vector<uint8_t>& bytes);
  // Makes `path` an empty folder for one worker of a full sweep. A folder an earlier sweep made there
  // (it holds the marker file ".vardenix-worker") is emptied; anything else at that name is the
  // user's and is refused, never removed. A link at `path` is refused too, not followed.
  virtual void MakeWorkerFolder(const std::string& path);
};

// The real file system. The object lives for the whole process.
Files& SystemFiles();

// The system takes a path up to its first NUL: "<dir>/victim.txt\0ChkPing.ZIP" would reach
// <dir>/victim.txt. Throws RuntimeError ("cannot <what> <path>: the path holds a NUL character, ...",
// the NUL shown as "\0") for a path holding one; every Files implementation calls it first.
void RequireNoNul(const char* what, const std::string& path);

}  // namespace vardenix
