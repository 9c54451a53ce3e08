#include "windows/platform/pread_compat.h"

#include <windows.h>
#include <io.h>

#include <cerrno>
#include <cstdint>

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  const intptr_t handle = _get_osfhandle(fd);
  if (handle == -1) {
    errno = EBADF;
    return -1;
  }
  OVERLAPPED at{};
  const uint64_t where = static_cast<uint64_t>(offset);
  at.Offset = static_cast<DWORD>(where);
  at.OffsetHigh = static_cast<DWORD>(where >> 32);
  DWORD got = 0;
  const DWORD want = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
  if (!ReadFile(reinterpret_cast<HANDLE>(handle), buffer, want, &got, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    errno = EIO;
    return -1;
  }
  return static_cast<ssize_t>(got);
}
