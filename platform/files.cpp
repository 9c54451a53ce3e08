#include "platform/files.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "vardenix/error.h"

namespace vardenix {

namespace {

constexpr char kWorkerMarker[] = ".vardenix-worker";

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

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
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename() != kWorkerMarker) fs::remove_all(entry.path());
    }
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
