// Running part of a test as an ordinary user. Root writes through read-only files and folders, so a
// test of what a read-only file or folder does tests nothing when run as root (as CI runs): such a
// case runs in a child process that has dropped to an unprivileged user.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace vardenix::support {

// The user and group the child drops to when the test runs as root ("nobody" on Debian).
inline constexpr uid_t kUnprivilegedId = 65534;

// Runs `body` in a child process, as kUnprivilegedId when the test runs as root (after handing
// `folder` and everything under it to that user), as the current user otherwise. `body` answers
// an empty text when every expectation held, or what went wrong; the answer is returned here, or a
// text saying the child could not run.
inline std::string RunUnprivileged(const std::string& folder, const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "cannot make a pipe";
  const pid_t pid = ::fork();
  if (pid < 0) return "cannot fork";
  if (pid == 0) {
    ::close(fds[0]);
    std::string answer;
    if (::geteuid() == 0) {
      static const auto hand_over = [](const char* path, const struct stat*, int, struct FTW*) {
        return ::lchown(path, kUnprivilegedId, kUnprivilegedId);
      };
      if (::nftw(folder.c_str(), hand_over, 16, FTW_PHYS) != 0 || ::setgroups(0, nullptr) != 0 ||
          ::setresgid(kUnprivilegedId, kUnprivilegedId, kUnprivilegedId) != 0 ||
          ::setresuid(kUnprivilegedId, kUnprivilegedId, kUnprivilegedId) != 0) {
        answer = "cannot drop to an unprivileged user";
      }
    }
    if (answer.empty()) {
      try {
        answer = body();
      } catch (const std::exception& e) {
        answer = std::string("threw: ") + e.what();
      }
    }
    if (::write(fds[1], answer.data(), answer.size()) < 0) ::_exit(2);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string answer;
  char buffer[1024];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child did not finish: " + answer;
  return answer;
}

}  // namespace vardenix::support
