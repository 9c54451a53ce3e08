// Files on Windows, through the wide-character calls so that any path (Chinese names included)
// works whatever the ANSI code page. Writes use CREATE_NEW, which never opens an existing file or
// follows a link planted at the path, because the caller always clears the way first.
#include <algorithm>

#include "platform/files.h"
#include "windows/platform/wide_text.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

[[noreturn]] void Fail(const char* what, const std::string& path, DWORD err) {
  throw RuntimeError(std::string("cannot ") + what + " " + path + ": " + win::SystemMessage(err));
}

class WindowsFiles final : public Files {
 public:
  // Normal, read-only, hidden and system files count; folders do not.
  bool FileExists(const std::string& path) override {
    RequireNoNul("look at", path);
    if (path.empty()) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(win::Widen(path).c_str(), GetFileExInfoStandard, &data)) {
      const DWORD err = GetLastError();
      if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_INVALID_NAME ||
          err == ERROR_BAD_NETPATH || err == ERROR_FILENAME_EXCED_RANGE || err == ERROR_INVALID_DRIVE ||
          err == ERROR_NOT_READY || err == ERROR_DIRECTORY) {
        return false;
      }
      Fail("look at", path, err);
    }
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  void ResetAttributes(const std::string& path) override {
    RequireNoNul("reset the attributes of", path);
    if (!SetFileAttributesW(win::Widen(path).c_str(), FILE_ATTRIBUTE_NORMAL)) {
      Fail("reset the attributes of", path, GetLastError());
    }
  }

  void Delete(const std::string& path) override {
    RequireNoNul("delete", path);
    if (!DeleteFileW(win::Widen(path).c_str())) Fail("delete", path, GetLastError());
  }

  void WriteNew(const std::string& path, const std::vector<uint8_t>& bytes) override {
    RequireNoNul("create", path);
    HANDLE file = CreateFileW(win::Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail("create", path, GetLastError());
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
      DWORD written = 0;
      if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
        const DWORD err = GetLastError();
        CloseHandle(file);
        Fail("write", path, err);
      }
      done += written;
    }
    if (!CloseHandle(file)) Fail("write", path, GetLastError());
  }
};

}  // namespace

Files& SystemFiles() {
  static WindowsFiles files;
  return files;
}

}  // namespace vardenix
