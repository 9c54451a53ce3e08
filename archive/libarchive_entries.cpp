#include "archive/libarchive_entries.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "archive/archive_control.h"

namespace vardenix::archive_policy {
namespace {

namespace ar = archive_result;

constexpr size_t kReadBlockBytes = 64 * 1024;

la_ssize_t ViewRead(archive*, void* self, const void** buffer) {
  auto& v = *static_cast<ArchiveView*>(self);
  const size_t want = static_cast<size_t>(std::min<uint64_t>(v.block.size(), v.end - v.pos));
  for (;;) {
    const ssize_t n = ::pread(v.fd, v.block.data(), want, static_cast<off_t>(v.pos));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    // The comment length: the last two bytes of the record.
    for (uint64_t at = v.end - 2; at < v.end; ++at) {
      if (at >= v.pos && at < v.pos + static_cast<uint64_t>(n)) v.block[static_cast<size_t>(at - v.pos)] = 0;
    }
    v.pos += static_cast<uint64_t>(n);
    *buffer = v.block.data();
    return n;
  }
}

la_int64_t ViewSkip(archive*, void* self, la_int64_t request) {
  auto& v = *static_cast<ArchiveView*>(self);
  const uint64_t step = std::min<uint64_t>(static_cast<uint64_t>(std::max<la_int64_t>(request, 0)), v.end - v.pos);
  v.pos += step;
  return static_cast<la_int64_t>(step);
}

la_int64_t ViewSeek(archive*, void* self, la_int64_t offset, int whence) {
  auto& v = *static_cast<ArchiveView*>(self);
  const la_int64_t base = whence == SEEK_SET ? 0
                          : whence == SEEK_CUR ? static_cast<la_int64_t>(v.pos)
                                               : static_cast<la_int64_t>(v.end);
  const la_int64_t target = base + offset;
  if (target < 0 || static_cast<uint64_t>(target) > v.end) return ARCHIVE_FATAL;
  v.pos = static_cast<uint64_t>(target);
  return target;
}

}  // namespace

ArchiveView::ArchiveView(int fd_in, uint64_t end_record) : fd(fd_in), end(end_record + 22), block(kReadBlockBytes) {}

std::string ArchiveError(archive* a) {
  const char* text = archive_error_string(a);
  return text ? text : "unknown error";
}

namespace {

// The process's time-zone state, which libarchive's zip reader rewrites for every header it reads.
//
// The reader converts each header's MS-DOS time (central directory and local header) with mktime(),
// and mktime() re-reads the time-zone setting every time: with TZ unset, glibc then frees its saved
// copy of the setting and makes a new one, process-wide state that it guards with a lock of its own.
// That lock is inside glibc, out of sight of ThreadSanitizer, so readers on two threads (the
// controls of two check objects, the workers of a sweep) look to it like a race on that state. Every
// call that makes libarchive read headers holds this mutex as well: the order is then one the tools
// can check, and what they report on these paths is ours. Only the headers are read one thread at a
// time; entries' data is not.
std::mutex& TimeZoneMutex() {
  static std::mutex mutex;
  return mutex;
}

// The time-zone state is made once when the library starts, before any thread runs: a thread's first
// localtime_r() (libarchive's zip writer, in the authoring tools and the tests) then finds it made
// instead of making it outside the mutex above, where a reader on another thread could replace it.
[[maybe_unused]] const bool kTimeZoneSetAtStart = [] {
  ::tzset();
  return true;
}();

}  // namespace

Reader OpenReader(ArchiveView& view, const std::string& path) {
  Reader a(archive_read_new());
  if (!a) Refuse(ar::kCannotOpen, "cannot read " + Printable(path) + ": out of memory");
  archive_read_support_format_zip_seekable(a.get());
  if (archive_read_set_format_option(a.get(), "zip", "hdrcharset", "ISO-8859-1") != ARCHIVE_OK) {
    Refuse(ar::kCannotOpen, "cannot read names on this system: " + ArchiveError(a.get()));
  }
  view.pos = 0;
  archive_read_set_callback_data(a.get(), &view);
  archive_read_set_read_callback(a.get(), &ViewRead);
  archive_read_set_skip_callback(a.get(), &ViewSkip);
  archive_read_set_seek_callback(a.get(), &ViewSeek);
  int rc;
  {
    std::lock_guard lock(TimeZoneMutex());
    rc = archive_read_open1(a.get());
  }
  if (rc != ARCHIVE_OK) {
    Refuse(ar::kCannotOpen, Printable(path) + " is not a readable zip archive: " + ArchiveError(a.get()));
  }
  return a;
}

bool NextHeader(archive* a, archive_entry*& entry) {
  int rc;
  {
    std::lock_guard lock(TimeZoneMutex());
    rc = archive_read_next_header(a, &entry);
  }
  if (rc == ARCHIVE_EOF) return false;
  if (rc != ARCHIVE_OK) Refuse(ar::kCannotOpen, "the archive is damaged: " + ArchiveError(a));
  return true;
}

void CheckHeader(archive_entry* entry, const PlannedEntry& planned) {
  const std::string& name = planned.path;
  if (archive_entry_is_encrypted(entry)) Refuse(ar::kEncrypted, "entry " + Quoted(name) + " is encrypted");
  if (archive_entry_hardlink(entry) != nullptr) {
    Refuse(ar::kUnsupportedEntry, "entry " + Quoted(name) + " is a hard link");
  }
  const auto type = archive_entry_filetype(entry);
  if (type == AE_IFLNK) Refuse(ar::kUnsupportedEntry, "entry " + Quoted(name) + " is a symbolic link");
  // A fifo's mode is what Info-ZIP zip gives an entry read from its standard input: its data is a file's.
  if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFIFO) {
    Refuse(ar::kUnsupportedEntry, "entry " + Quoted(name) + " is a device or socket");
  }
}

bool LibarchiveBlocks::Next(const std::string& rel, const void*& block, size_t& size, uint64_t& offset) {
  la_int64_t at = 0;
  const int rc = archive_read_data_block(a_, &block, &size, &at);
  if (rc == ARCHIVE_EOF) return false;
  if (rc != ARCHIVE_OK) Refuse(ar::kCorruptData, "entry " + Quoted(rel) + ": the data is damaged: " + ArchiveError(a_));
  if (at < 0) Refuse(ar::kCorruptData, "entry " + Quoted(rel) + ": the data is damaged");
  offset = static_cast<uint64_t>(at);
  return true;
}

uint64_t LibarchiveBlocks::Consumed() const {
  return static_cast<uint64_t>(std::max<la_int64_t>(archive_filter_bytes(a_, -1) - start_, 0));
}

}  // namespace vardenix::archive_policy
