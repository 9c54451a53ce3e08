// pread() for the Windows build of archive/zip_directory.cpp, which is force-included there:
// a positioned read through the file's handle, so the descriptor's offset is not used.
#pragma once

#include <sys/types.h>

#include <cstddef>

ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
