// Files on POSIX. Writes open with O_NOFOLLOW so that a symlink planted in the working folder can
// never redirect them. A new file opens with O_EXCL because the caller always clears the way first;
// a file is written over in place only after it is known to be one the way need not be cleared of.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/files.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

[[noreturn]] void Fail(const char* what, const std::string& path, int err) {
  throw RuntimeError(std::string("cannot ") + what + " " + path + ": " + std::strerror(err));
}

class PosixFiles final : public Files {
 public:
  bool FileExists(const std::string& path) override {
    RequireNoNul("look at", path);
    if (path.empty()) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP) return false;
      Fail("look at", path, errno);
    }
    return S_ISREG(st.st_mode);
  }

  void ResetAttributes(const std::string& path) override {
    RequireNoNul("reset the attributes of", path);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) Fail("reset the attributes of", path, errno);
    if (S_ISLNK(st.st_mode)) return;  // a link has no attributes of its own to reset
    if ((st.st_mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR)) return;  // nothing to reset
    if (::chmod(path.c_str(), (st.st_mode & 07777) | S_IRUSR | S_IWUSR) != 0) {
      Fail("reset the attributes of", path, errno);
    }
  }

  void Delete(const std::string& path) override {
    RequireNoNul("delete", path);
    if (::unlink(path.c_str()) != 0) Fail("delete", path, errno);
  }

  void WriteNew(const std::string& path, const std::vector<uint8_t>& bytes) override {
    RequireNoNul("create", path);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) Fail("create", path, errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        ::close(fd);
        Fail("write", path, err);
      }
      done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) Fail("write", path, errno);
  }

  // On ext4 this costs about a tenth of removing the file and making it anew, which frees and
  // allocates an inode and its blocks every time. The file is cut to its new length only when it
  // shrinks, and never to zero before writing: ext4 writes a file truncated to zero and written
  // again back to disk as soon as it is closed.
  bool RewriteInPlace(const std::string& path, const std::vector<uint8_t>& bytes) override {
    RequireNoNul("write", path);
    // O_NONBLOCK: a fifo at the path cannot hang the open; it is no regular file and is left alone.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    static const uid_t user = ::geteuid();  // the kernel still checks the open against the user of the moment
    const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == user &&
                      (st.st_mode & 0600) == 0600 && (st.st_mode & 07777 & ~mode_t{0644}) == 0;
    if (!ours) {
      ::close(fd);
      return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        const int err = n < 0 ? errno : EIO;
        ::close(fd);
        Fail("write", path, err);
      }
      done += static_cast<std::size_t>(n);
    }
    if (static_cast<uint64_t>(st.st_size) > bytes.size() && ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) {
      const int err = errno;
      ::close(fd);
      Fail("write", path, err);
    }
    if (::close(fd) != 0) Fail("write", path, errno);
    return true;
  }
};

}  // namespace

Files& SystemFiles() {
  static PosixFiles files;
  return files;
}

}  // namespace vardenix
