#include "scorers/filecheck/grader.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "report/mod_xml_rw.h"

namespace vardenix::filecheck {

namespace {

// What a path names, as the grader sees it.
enum class Found { kNothing, kFile, kFolder, kOther };

#ifdef _WIN32
// The Windows grader walks wide paths: a link or junction on the way counts as nothing there, and
// a link at the end is "another kind of item", as symbolic links are on Linux.
using Root = std::wstring;

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

bool MeansNothing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
         error == ERROR_DIRECTORY || error == ERROR_FILENAME_EXCED_RANGE;
}

[[noreturn]] void FailOn(const std::string& folder, const Rule& rule, DWORD error) {
  throw std::runtime_error("cannot look at " + rule.path + " in " + folder + ": Windows error " + std::to_string(error));
}

Root OpenRoot(const std::string& folder) {
  Root root = Widen(folder);
  const DWORD attrs = root.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(root.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
    throw std::runtime_error("cannot open the folder to grade, \"" + folder + "\": not a folder");
  }
  if (root.back() != L'\\' && root.back() != L'/') root += L'\\';
  return root;
}

// The full path of the rule's item; empty when a part on the way is missing, no folder, or a link.
std::wstring PathOf(const Root& root, const std::string& folder, const Rule& rule) {
  std::wstring path = root;
  for (size_t i = 0; i + 1 < rule.parts.size(); ++i) {
    path += Widen(rule.parts[i]);
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
      if (MeansNothing(GetLastError())) return std::wstring();
      FailOn(folder, rule, GetLastError());
    }
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return std::wstring();
    path += L'\\';
  }
  return path + Widen(rule.parts.back());
}

Found Look(const Root& root, const std::string& folder, const Rule& rule) {
  const std::wstring path = PathOf(root, folder, rule);
  if (path.empty()) return Found::kNothing;
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    if (MeansNothing(GetLastError())) return Found::kNothing;
    FailOn(folder, rule, GetLastError());
  }
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return Found::kOther;
  return (attrs & FILE_ATTRIBUTE_DIRECTORY) ? Found::kFolder : Found::kFile;
}

bool FileContains(const Root& root, const std::string& folder, const Rule& rule) {
  const std::wstring path = PathOf(root, folder, rule);
  if (path.empty()) return false;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (MeansNothing(GetLastError())) return false;
    FailOn(folder, rule, GetLastError());
  }
  const std::string& needle = rule.text;
  std::string window;
  char block[64 * 1024];
  bool found = false;
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, block, sizeof block, &n, nullptr)) {
      const DWORD error = GetLastError();
      CloseHandle(file);
      FailOn(folder, rule, error);
    }
    if (n == 0) break;
    window.append(block, n);
    if (window.find(needle) != std::string::npos) {
      found = true;
      break;
    }
    if (window.size() >= needle.size()) window.erase(0, window.size() - (needle.size() - 1));
  }
  CloseHandle(file);
  return found;
}

#else
using Root = int;

// An open file descriptor, closed when the object goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};


// Errors that mean "there is no such file or folder here" rather than "the file system failed".
// ELOOP and ENOTDIR are what O_NOFOLLOW and O_DIRECTORY answer for a symbolic link on the way.
bool MeansNothing(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

[[noreturn]] void FailOn(const std::string& folder, const Rule& rule, int error) {
  throw std::runtime_error("cannot look at " + rule.path + " in " + folder + ": " + std::strerror(error));
}

// The folder that holds the last part of the rule's path, reached from `root` one part at a time
// without following links; nullopt when a part on the way is missing or is no folder. A path of one
// part is looked up in `root` itself, which stays the caller's: no descriptor is made for it.
class Parent {
 public:
  explicit Parent(int root) : at_(root) {}
  int get() const { return at_; }
  void Enter(Fd next) {
    at_ = next.get();
    held_ = std::move(next);
  }

 private:
  int at_;
  Fd held_;
};

std::optional<Parent> OpenParent(int root, const std::string& folder, const Rule& rule) {
  Parent current(root);
  for (size_t i = 0; i + 1 < rule.parts.size(); ++i) {
    Fd next(::openat(current.get(), rule.parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.ok()) {
      if (MeansNothing(errno)) return std::nullopt;
      FailOn(folder, rule, errno);
    }
    current.Enter(std::move(next));
  }
  return current;
}

Found Classify(mode_t mode) {
  if (S_ISREG(mode)) return Found::kFile;
  if (S_ISDIR(mode)) return Found::kFolder;
  return Found::kOther;
}

Found Look(int root, const std::string& folder, const Rule& rule) {
  const auto parent = OpenParent(root, folder, rule);
  if (!parent) return Found::kNothing;
  struct stat st {};
  if (::fstatat(parent->get(), rule.parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (MeansNothing(errno)) return Found::kNothing;
    FailOn(folder, rule, errno);
  }
  return Classify(st.st_mode);
}

// Whether the regular file at the rule's path holds the rule's text. The file is read in blocks,
// keeping the last text-length-minus-one bytes of each, so a file of any size takes little memory.
bool FileContains(int root, const std::string& folder, const Rule& rule) {
  const auto parent = OpenParent(root, folder, rule);
  if (!parent) return false;
  // O_NONBLOCK: opening a fifo that appeared since Look must not hang the grader.
  Fd file(::openat(parent->get(), rule.parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.ok()) {
    if (MeansNothing(errno)) return false;
    FailOn(folder, rule, errno);
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) FailOn(folder, rule, errno);
  if (!S_ISREG(st.st_mode)) return false;

  const std::string& needle = rule.text;
  std::string window;
  char block[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(file.get(), block, sizeof block);
    if (n < 0) {
      if (errno == EINTR) continue;
      FailOn(folder, rule, errno);
    }
    if (n == 0) return false;
    window.append(block, static_cast<size_t>(n));
    if (window.find(needle) != std::string::npos) return true;
    if (window.size() >= needle.size()) window.erase(0, window.size() - (needle.size() - 1));
  }
}

#endif  // _WIN32

// What an unmet rule tells the reader: a sentence, what was needed and what was found.
struct Shortfall {
  std::string info;
  std::string need;
  std::string found;
};

std::string FoundName(Found found) {
  switch (found) {
    case Found::kNothing: return "没有";
    case Found::kFile: return "文件";
    case Found::kFolder: return "文件夹";
    case Found::kOther: return "其他类型的项（如符号链接）";
  }
  return {};
}

const char* OperationName(RuleKind kind) {
  switch (kind) {
    case RuleKind::kExists: return "文件存在";
    case RuleKind::kAbsent: return "文件不存在";
    case RuleKind::kFolder: return "文件夹存在";
    case RuleKind::kContains: return "文件内容";
  }
  return "";
}

// Checks one rule; nullopt when it is met.
std::optional<Shortfall> Check(const Root& root, const std::string& folder, const Rule& rule) {
  const std::string& p = rule.path;
  const Found found = Look(root, folder, rule);
  switch (rule.kind) {
    case RuleKind::kAbsent:
      if (found == Found::kNothing) return std::nullopt;
      return Shortfall{p + " 不应存在，却有" + FoundName(found), "没有 " + p, FoundName(found)};
    case RuleKind::kFolder:
      if (found == Found::kFolder) return std::nullopt;
      if (found == Found::kNothing) return Shortfall{"缺少文件夹 " + p, "文件夹 " + p, FoundName(found)};
      return Shortfall{p + " 应是文件夹，却是" + FoundName(found), "文件夹 " + p, FoundName(found)};
    case RuleKind::kExists:
    case RuleKind::kContains:
      if (found == Found::kNothing) return Shortfall{"缺少文件 " + p, "文件 " + p, FoundName(found)};
      if (found != Found::kFile) return Shortfall{p + " 应是文件，却是" + FoundName(found), "文件 " + p, FoundName(found)};
      if (rule.kind == RuleKind::kExists || FileContains(root, folder, rule)) return std::nullopt;
      return Shortfall{"文件 " + p + " 中没有“" + rule.text + "”", "含有“" + rule.text + "”", "不含"};
  }
  return std::nullopt;
}

std::string FormatPoints(double points) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, points);
  return std::string(buffer, result.ptr);
}

}  // namespace

Grading Grade(const std::string& folder, const std::vector<Rule>& rules, double total_score) {
  if (rules.empty()) throw std::runtime_error("the rule text holds no rule");
  // The host's folder is taken as given, a link to it included; below it nothing is followed.
#ifdef _WIN32
  const Root root = OpenRoot(folder);
#else
  Fd root_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd.ok()) {
    throw std::runtime_error("cannot open the folder to grade, \"" + folder + "\": " + std::strerror(errno));
  }
  const Root root = root_fd.get();
#endif

  Grading grading;
  double all = 0, earned = 0;
  bool all_met = true;
  for (const Rule& rule : rules) {
    all += rule.points;
    const auto shortfall = Check(root, folder, rule);
    if (!shortfall) {
      earned += rule.points;
      continue;
    }
    all_met = false;
    grading.error_text += "第" + std::to_string(rule.line) + "行（" + FormatPoints(rule.points) + "分）：" +
                          shortfall->info + "\r\n";
    AddRuleErr(grading.error_xml, rule.source, shortfall->info, OperationName(rule.kind), shortfall->need,
               shortfall->found, "", "");
  }

  if (all_met) {
    grading.score = total_score;  // exactly, with no arithmetic that could round it
  } else {
    grading.score = total_score * (earned / all);
    // The host compares the score with full marks in single precision: a shortfall of a tiny share
    // must not round up to full marks there.
    const float full = static_cast<float>(total_score);
    if (static_cast<float>(grading.score) >= full) grading.score = std::nextafter(full, 0.0f);
  }
  return grading;
}

}  // namespace vardenix::filecheck
