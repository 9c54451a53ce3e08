#include "cli/cli_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/component_records.h"

namespace vardenix::cli {
namespace {

std::string Reason() { return std::strerror(errno); }

}  // namespace

void RequireReadableFile(const std::string& path, const std::string& what) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw UsageError("cannot read " + what + " " + path + ": " + Reason());
  if (S_ISDIR(st.st_mode)) throw UsageError("cannot read " + what + " " + path + ": it is a folder, not a file");
  if (!S_ISREG(st.st_mode)) throw UsageError("cannot read " + what + " " + path + ": not a regular file");
  if (::access(path.c_str(), R_OK) != 0) throw UsageError("cannot read " + what + " " + path + ": " + Reason());
}

std::vector<uint8_t> ReadInputFile(const std::string& path, const std::string& what) {
  RequireReadableFile(path, what);
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw UsageError("cannot read " + what + " " + path + ": " + Reason());
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw UsageError("cannot read " + what + " " + path + ": " + Reason());
  return bytes;
}

void RequireFolder(const std::string& path, const std::string& what) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw UsageError(what + " " + path + " cannot be used: " + Reason());
  if (!S_ISDIR(st.st_mode)) throw UsageError(what + " " + path + " is not a folder");
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void RequireWritableFile(const std::string& path, const std::string& what) {
  const std::string fail = "cannot write " + what + " " + path + ": ";
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw UsageError(fail + "it is a folder, not a file");
    if (::access(path.c_str(), W_OK) != 0) throw UsageError(fail + Reason());
    return;
  }
  if (errno != ENOENT) throw UsageError(fail + Reason());
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (::stat(folder.c_str(), &st) != 0) throw UsageError(fail + "its folder " + folder + ": " + Reason());
  if (!S_ISDIR(st.st_mode)) throw UsageError(fail + folder + " is not a folder");
  if (::access(folder.c_str(), W_OK | X_OK) != 0) throw UsageError(fail + "its folder " + folder + ": " + Reason());
}

void WriteOutputFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.is_open()) throw UsageError("cannot write " + path + ": " + Reason());
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw UsageError("cannot write " + path + ": " + Reason());
}

std::optional<int64_t> ParseInt64(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<uint64_t> ParseUint64(const std::string& text) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::string DefaultRegistry() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  return DefaultRegistryFolder(xdg ? xdg : "", home ? home : "");
}

std::string MakeWorkingFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp && *tmp) ? tmp : "/tmp";
  if (base.back() == '/') base.pop_back();
  std::string pattern = base + "/vardenix-check-XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    throw UsageError("cannot make a working folder under " + base + ": " + Reason() +
                     "; give one with --ping-path DIR");
  }
  return pattern;
}

bool FolderHoldsAnything(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return false;
  bool any = false;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") {
      any = true;
      break;
    }
  }
  ::closedir(dir);
  return any;
}

namespace {

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*) {
  const int rc = type == FTW_DP ? ::rmdir(path) : ::unlink(path);
  return rc == 0 ? 0 : errno;
}

}  // namespace

bool RemoveTree(const std::string& path, std::string& reason) {
  // FTW_DEPTH removes a folder's entries before the folder; FTW_PHYS never follows a link.
  const int rc = ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  if (rc == 0) return true;
  reason = std::strerror(rc > 0 ? rc : errno);
  return false;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::string cwd(4096, '\0');
  if (!::getcwd(cwd.data(), cwd.size())) return path;
  cwd.resize(std::strlen(cwd.c_str()));
  return cwd + "/" + path;
}

}  // namespace vardenix::cli
