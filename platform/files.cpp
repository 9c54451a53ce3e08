#include "platform/files.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#ifndef _WIN32
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include "vardenix/error.h"

namespace vardenix {

namespace {

constexpr char kWorkerMarker[] = ".vardenix-worker";

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

#ifndef _WIN32
int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*) {
  const int rc = type == FTW_DP ? ::rmdir(path) : ::unlink(path);
  return rc == 0 ? 0 : errno;
}

// Removes `path` and what it holds without leaving its file system: FTW_MOUNT keeps the walk off a
// file system mounted inside (which then keeps its folder, and the removal fails), FTW_PHYS off links.
void RemoveOnThisFileSystem(const std::string& path, const std::string& worker) {
  const int rc = ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  if (rc != 0) {
    throw RuntimeError("cannot empty the worker folder " + worker + ": " + path + ": " +
                       std::strerror(rc > 0 ? rc : errno) +
                       (rc == ENOTEMPTY || rc == EBUSY ? " (another file system mounted inside is never emptied; "
                                                         "unmount it)"
                                                       : ""));
  }
}

// The device of `path` itself (a link is not followed), or -1.
long long DeviceOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_dev) : -1;
}
#endif

}  // namespace

// Portable: the same on Linux and Windows, through std::filesystem, which never follows a link when
// it removes one (remove_all removes the link, not what it points to).
bool Files::RewriteInPlace(const std::string&, const std::vector<uint8_t>&) { return false; }

void Files::MakeWorkerFolder(const std::string& path) {
  namespace fs = std::filesystem;
  if (path.find('\0') != std::string::npos) throw RuntimeError("cannot make the worker folder: its path holds a NUL");
  const fs::path folder = PathFromUtf8(path);
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(folder, ec);
  try {
    if (!fs::exists(status)) {
      fs::create_directory(folder);
      std::ofstream(folder / kWorkerMarker) << "A working folder of a vardenix check --all worker; emptied by the next sweep.\n";
      if (!fs::is_regular_file(fs::symlink_status(folder / kWorkerMarker))) {
        throw RuntimeError("cannot write the marker file in " + path);
      }
      return;
    }
    if (!fs::is_directory(status) || !fs::is_regular_file(fs::symlink_status(folder / kWorkerMarker, ec))) {
      throw RuntimeError("cannot use " + path +
                         " as a worker's working folder: something vardenix did not make is there; move it away "
                         "or choose another working folder");
    }
#ifndef _WIN32
    // Emptying never leaves the worker folder's file system, nor the working folder's: a file system
    // mounted there is not the sweep's to empty.
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : parent.substr(0, slash);
    if (DeviceOf(path) != DeviceOf(parent)) {
      throw RuntimeError("cannot use " + path + " as a worker's working folder: another file system is mounted "
                         "there, which a sweep never empties; unmount it or choose another working folder");
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename() == kWorkerMarker) continue;
      // FTW_MOUNT keeps to the file system of the walk's start, so the start is checked here.
      if (DeviceOf(entry.path().string()) != DeviceOf(path)) {
        throw RuntimeError("cannot empty the worker folder " + path + ": " + entry.path().string() +
                           " is another file system mounted inside, which a sweep never empties; unmount it");
      }
      RemoveOnThisFileSystem(entry.path().string(), path);
    }
#else
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename() != kWorkerMarker) fs::remove_all(entry.path());
    }
#endif
  } catch (const fs::filesystem_error& e) {
    throw RuntimeError("cannot prepare the worker folder " + path + ": " + e.code().message());
  }
}

void RequireNoNul(const char* what, const std::string& path) {
  if (path.find('\0') == std::string::npos) return;
  std::string shown;
  for (const char c : path) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
  throw RuntimeError(std::string("cannot ") + what + " " + shown +
                     ": the path holds a NUL character, which no file name may hold");
}

}  // namespace vardenix
