#include "cli/cli_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <ftw.h>
#include <sys/file.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>

#include "hosting/component_records.h"

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
  OutputFile file(path);
  file.Stream().write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.Commit();
}

OutputFile::Buffer::Buffer(int fd) : fd_(fd) { setp(bytes_, bytes_ + sizeof bytes_); }

bool OutputFile::Buffer::Drain() {
  const char* at = pbase();
  while (at < pptr()) {
    const ssize_t n = ::write(fd_, at, static_cast<size_t>(pptr() - at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error_ == 0) error_ = errno;
      setp(bytes_, bytes_ + sizeof bytes_);
      return false;
    }
    at += n;
  }
  setp(bytes_, bytes_ + sizeof bytes_);
  return true;
}

OutputFile::Buffer::int_type OutputFile::Buffer::overflow(int_type c) {
  if (!Drain()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize OutputFile::Buffer::xsputn(const char* data, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count) {
    if (pptr() == epptr() && !Drain()) return done;
    const std::streamsize room = std::min<std::streamsize>(epptr() - pptr(), count - done);
    std::memcpy(pptr(), data + done, static_cast<size_t>(room));
    pbump(static_cast<int>(room));
    done += room;
  }
  return done;
}

int OutputFile::Buffer::sync() { return Drain() ? 0 : -1; }

OutputFile::OutputFile(const std::string& path) : path_(path) {
  // Written to a new file beside the target, then renamed over it: a full disk, a crash or a stop
  // part-way leaves the earlier file as it was, never a truncated one.
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  part_ = folder + "." + name + ".vardenix-" + std::to_string(::getpid()) + ".part";
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode_ = st.st_mode & 0777;
  fd_ = ::open(part_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) throw UsageError("cannot write " + path + ": " + Reason());
  buffer_ = std::make_unique<Buffer>(fd_);
  stream_.rdbuf(buffer_.get());
}

OutputFile::~OutputFile() {
  if (committed_) return;
  if (fd_ >= 0) ::close(fd_);
  ::unlink(part_.c_str());
}

void OutputFile::Fail(int err) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(part_.c_str());
  committed_ = true;  // nothing left to remove
  throw UsageError("cannot write " + path_ + ": " + std::strerror(err));
}

void OutputFile::Commit() {
  stream_.flush();
  if (buffer_->Error() != 0) Fail(buffer_->Error());
  if (!stream_) Fail(EIO);
  if (::fchmod(fd_, mode_) != 0 || ::fsync(fd_) != 0) Fail(errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail(errno);
  if (::rename(part_.c_str(), path_.c_str()) != 0) Fail(errno);
  committed_ = true;
}

FolderLock::FolderLock(const std::string& folder, bool wait) {
  fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) throw UsageError("the working folder " + folder + " cannot be used: " + Reason());
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
  if (errno != EWOULDBLOCK) {
    const std::string reason = Reason();
    ::close(fd_);
    throw UsageError("cannot lock the working folder " + folder + ": " + reason);
  }
  if (!wait) {
    ::close(fd_);
    throw UsageError("another check is using the working folder " + folder +
                     "; wait for it, leave out --no-wait to wait, or give another folder with --ping-path");
  }
  std::cerr << "vardenix check: waiting for another check to finish with the working folder " << folder << "\n"
            << std::flush;
  // Polled, so that Ctrl-C while waiting stops the command.
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK || StopRequested()) {
      const std::string reason = errno == EWOULDBLOCK ? std::string("stopped while waiting") : Reason();
      ::close(fd_);
      throw UsageError("cannot lock the working folder " + folder + ": " + reason);
    }
    const struct timespec pause = {0, 100'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

FolderLock::~FolderLock() { ::close(fd_); }

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
  // FTW_DEPTH removes a folder's entries before the folder; FTW_PHYS never follows a link; FTW_MOUNT
  // never enters another file system mounted inside (its folder then stays, and so does the tree).
  const int rc = ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  if (rc == 0) return true;
  reason = std::strerror(rc > 0 ? rc : errno);
  return false;
}

namespace {

std::atomic<bool> g_stop{false};
volatile sig_atomic_t g_stop_signal = 0;

extern "C" void OnStopSignal(int signal) {
  g_stop_signal = signal;
  g_stop.store(true);
}

}  // namespace

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // SA_RESETHAND: a second signal ends the process the usual way.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

std::atomic<bool>& StopFlag() { return g_stop; }
bool StopRequested() { return g_stop.load(); }
int StopSignal() { return g_stop_signal; }

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::string cwd(4096, '\0');
  if (!::getcwd(cwd.data(), cwd.size())) return path;
  cwd.resize(std::strlen(cwd.c_str()));
  return cwd + "/" + path;
}

std::string Count(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace vardenix::cli
