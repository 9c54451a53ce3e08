// The archive control on libarchive.
//
// An extraction is two passes over the archive. The survey reads every header (and the raw central
// directory, for what libarchive does not show) and refuses the whole archive before anything is
// written. The writing pass streams each entry's data blocks into a temporary file beside its
// destination and renames it into place, so memory does not grow with the archive and a failing
// entry never leaves a partial file or destroys the earlier file of that name.
//
// Files are created with *at() calls relative to the target folder, each folder opened with
// O_NOFOLLOW. libarchive's own disk writer is not used: its symlink guard walks the whole path from
// the root with chdir(), which changes the working directory of every thread in the host and, with
// ARCHIVE_EXTRACT_UNLINK, removes symlinks in the host's own folder path; and its absolute-path
// guard rejects every entry once the entry is joined to an absolute target folder.
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/archive_control.h"
#include "platform/zip_directory.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

namespace ar = archive_result;

// Caps on what one archive may unpack to. A model answer is a few documents and rarely passes tens
// of megabytes, so these leave a wide margin for honest archives while keeping a crafted one from
// filling the disk of the working folder or tying up the host:
//  - total bytes: 1 GiB, far above any answer set, well below a disk a bomb could fill;
//  - entries: 65,536, the most a plain (non-zip64) directory can list; it bounds the memory the
//    reader spends on the directory and the number of files created;
//  - ratio: deflate cannot compress honest data much beyond 1000:1 (its limit is about 1032:1,
//    reached only by long runs of one byte), so an entry above that is a bomb. Small entries are
//    exempt because their ratio says little and they cannot do harm.
constexpr uint64_t kMaxTotalBytes = uint64_t{1} << 30;
constexpr uint64_t kMaxEntries = 65536;
constexpr uint64_t kMaxRatio = 1000;
constexpr uint64_t kRatioExemptBytes = uint64_t{1} << 20;

constexpr mode_t kFileMode = 0644;
constexpr mode_t kFolderMode = 0755;
constexpr size_t kReadBlockBytes = 64 * 1024;

// Why an extraction stopped; caught by the call and turned into its answer.
struct Refusal {
  int16_t code;
  std::string reason;
};

[[noreturn]] void Refuse(int16_t code, std::string reason) { throw Refusal{code, std::move(reason)}; }

std::string Errno(int err) { return std::strerror(err); }

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { Reset(); }
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// libarchive decodes names into the thread's locale; a UTF-8 one makes them arrive as UTF-8 bytes.
locale_t Utf8Locale() {
  static const locale_t locale = [] {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      if (locale_t l = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr))) return l;
    }
    return static_cast<locale_t>(nullptr);
  }();
  return locale;
}

class ScopedUtf8Locale {
 public:
  ScopedUtf8Locale() {
    if (locale_t utf8 = Utf8Locale()) previous_ = ::uselocale(utf8);
  }
  ~ScopedUtf8Locale() {
    if (previous_) ::uselocale(previous_);
  }
  ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
  ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

 private:
  locale_t previous_ = nullptr;
};

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      len = 2, cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      len = 3, cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

// A name as it can be shown in a failure reason: valid UTF-8, control bytes escaped.
std::string Printable(const std::string& raw) {
  const bool utf8 = IsValidUtf8(raw);
  std::string out;
  for (char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f || (c >= 0x80 && !utf8)) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string Quoted(const std::string& name) { return "\"" + Printable(name) + "\""; }

// The entry's name as a relative path: "/" separators (a backslash is one too), no empty or "."
// components. Refuses a name that could reach outside the target folder or names nothing.
std::string RelativePath(const std::string& utf8) {
  if (utf8.empty()) Refuse(ar::kUnsafeName, "an entry has an empty name");
  if (!IsValidUtf8(utf8)) Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name is not valid UTF-8");
  std::string name = utf8;
  std::replace(name.begin(), name.end(), '\\', '/');
  if (name.front() == '/') Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": absolute name");
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
    Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name starts with a drive letter");
  }
  std::string path;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string_view part(name.data() + start, end - start);
    if (part == "..") Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name has a \"..\" component");
    if (!part.empty() && part != ".") {
      if (!path.empty()) path += '/';
      path += part;
    }
    start = end + 1;
  }
  if (path.empty()) Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name names no file");
  return path;
}

struct ReaderFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
using Reader = std::unique_ptr<archive, ReaderFree>;

std::string ArchiveError(archive* a) {
  const char* text = archive_error_string(a);
  return text ? text : "unknown error";
}

// A reader over the archive open on `fd`, positioned before the first entry.
Reader OpenReader(int fd, const std::string& path) {
  Reader a(archive_read_new());
  if (!a) Refuse(ar::kCannotOpen, "cannot read " + path + ": out of memory");
  archive_read_support_format_zip_seekable(a.get());
  // Names without the UTF-8 flag come from Chinese Windows machines, whose code page is CP936 (GBK).
  if (archive_read_set_format_option(a.get(), "zip", "hdrcharset", "CP936") != ARCHIVE_OK) {
    Refuse(ar::kCannotOpen, "cannot decode CP936 names on this system: " + ArchiveError(a.get()));
  }
  if (::lseek(fd, 0, SEEK_SET) != 0 || archive_read_open_fd(a.get(), fd, kReadBlockBytes) != ARCHIVE_OK) {
    Refuse(ar::kCannotOpen, path + " is not a readable zip archive: " + ArchiveError(a.get()));
  }
  return a;
}

// One entry as the survey planned it; the writing pass must meet the same entries in the same order.
struct PlannedEntry {
  std::string path;
  bool is_folder;
};

// Reads the next header; false at the end. Refuses an entry the control must not extract.
bool NextEntry(archive* a, archive_entry*& entry, PlannedEntry& planned, uint64_t& declared_size) {
  const int rc = archive_read_next_header(a, &entry);
  if (rc == ARCHIVE_EOF) return false;
  if (rc == ARCHIVE_WARN) {
    // Warnings on a header are name-conversion failures or headers that contradict each other.
    const std::string why = ArchiveError(a);
    if (why.find("Pathname") != std::string::npos) {
      Refuse(ar::kUnsafeName, "an entry's name cannot be decoded: " + why);
    }
    Refuse(ar::kCannotOpen, "the archive is damaged: " + why);
  }
  if (rc != ARCHIVE_OK) Refuse(ar::kCannotOpen, "the archive is damaged: " + ArchiveError(a));

  const char* utf8 = archive_entry_pathname_utf8(entry);
  if (utf8 == nullptr) Refuse(ar::kUnsafeName, "an entry's name cannot be decoded");
  const std::string name = utf8;
  if (archive_entry_is_encrypted(entry)) Refuse(ar::kEncrypted, "entry " + Quoted(name) + " is encrypted");
  if (archive_entry_hardlink(entry) != nullptr) {
    Refuse(ar::kUnsupportedEntry, "entry " + Quoted(name) + " is a hard link");
  }
  const auto type = archive_entry_filetype(entry);
  if (type == AE_IFLNK) Refuse(ar::kUnsupportedEntry, "entry " + Quoted(name) + " is a symbolic link");
  if (type != AE_IFREG && type != AE_IFDIR) {
    Refuse(ar::kUnsupportedEntry, "entry " + Quoted(name) + " is a device, fifo or socket");
  }
  declared_size = archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0
                      ? static_cast<uint64_t>(archive_entry_size(entry))
                      : 0;
  // An empty name is refused by RelativePath below; it has no last character to look at.
  const bool ends_with_separator = !name.empty() && (name.back() == '/' || name.back() == '\\');
  if (ends_with_separator && type == AE_IFREG && declared_size > 0) {
    Refuse(ar::kUnsafeName, "entry " + Quoted(name) + ": a folder name that holds data");
  }
  planned.path = RelativePath(name);
  planned.is_folder = type == AE_IFDIR || ends_with_separator;
  return true;
}

// What libarchive does not show: NULs in stored names, encryption bits it may not report,
// compressed sizes for the ratio cap, and entries that share data.
void CheckRawDirectory(int fd) {
  const zip::Directory dir = zip::ReadDirectory(fd, kMaxEntries);
  switch (dir.status) {
    case zip::DirectoryStatus::kOk:
      break;
    case zip::DirectoryStatus::kTooManyEntries:
      Refuse(ar::kTooLarge, dir.why + "; at most " + std::to_string(kMaxEntries) + " are extracted");
    case zip::DirectoryStatus::kNotZip:
    case zip::DirectoryStatus::kOverlap:
      Refuse(ar::kCannotOpen, "the archive is damaged: " + dir.why);
  }
  uint64_t total = 0;
  for (const zip::RawEntry& e : dir.entries) {
    for (const std::string* name : {&e.central_name, &e.local_name}) {
      if (name->find('\0') != std::string::npos) {
        Refuse(ar::kUnsafeName, "entry " + Quoted(*name) + ": the name holds a NUL byte");
      }
    }
    // libarchive turns devices and fifos into plain files; the stored mode still says what they are.
    if ((e.made_by >> 8) == zip::kMadeOnUnix) {
      const auto type = static_cast<mode_t>(e.external_attributes >> 16) & S_IFMT;
      if (type != 0 && type != S_IFREG && type != S_IFDIR && type != S_IFLNK) {
        Refuse(ar::kUnsupportedEntry, "entry " + Quoted(e.central_name) + " is a device, fifo or socket");
      }
    }
    const uint16_t flags = e.central_flags | e.local_flags;
    if ((flags & (zip::kFlagEncrypted | zip::kFlagStrongEncryption)) != 0 || e.method == zip::kMethodAes) {
      Refuse(ar::kEncrypted, "entry " + Quoted(e.central_name) + " is encrypted");
    }
    if (e.uncompressed_size > kRatioExemptBytes && e.uncompressed_size / kMaxRatio >= e.compressed_size + 1) {
      Refuse(ar::kTooLarge, "entry " + Quoted(e.central_name) + " expands more than " +
                                std::to_string(kMaxRatio) + " times");
    }
    total += std::min(e.uncompressed_size, kMaxTotalBytes + 1);
    if (total > kMaxTotalBytes) {
      Refuse(ar::kTooLarge, "the archive expands to more than " + std::to_string(kMaxTotalBytes) + " bytes");
    }
  }
}

// Refuses two entries with one path, and a file where another entry needs a folder.
void CheckNamesClash(const std::vector<PlannedEntry>& entries) {
  std::unordered_set<std::string> seen;
  std::unordered_set<std::string> folders;
  for (const PlannedEntry& e : entries) {
    if (!seen.insert(e.path).second) Refuse(ar::kDuplicateName, "two entries are named " + Quoted(e.path));
    for (size_t slash = e.path.find('/'); slash != std::string::npos; slash = e.path.find('/', slash + 1)) {
      folders.insert(e.path.substr(0, slash));
    }
  }
  for (const PlannedEntry& e : entries) {
    if (!e.is_folder && folders.count(e.path) != 0) {
      Refuse(ar::kDuplicateName, "entry " + Quoted(e.path) + " is a file, but other entries lie inside it");
    }
  }
}

std::vector<PlannedEntry> Survey(int fd, const std::string& path) {
  CheckRawDirectory(fd);
  Reader a = OpenReader(fd, path);
  std::vector<PlannedEntry> entries;
  archive_entry* entry = nullptr;
  PlannedEntry planned;
  uint64_t declared = 0;
  uint64_t total = 0;
  while (NextEntry(a.get(), entry, planned, declared)) {
    if (entries.size() == kMaxEntries) {
      Refuse(ar::kTooLarge, "the archive holds more than " + std::to_string(kMaxEntries) + " entries");
    }
    total += std::min(declared, kMaxTotalBytes + 1);
    if (total > kMaxTotalBytes) {
      Refuse(ar::kTooLarge, "the archive expands to more than " + std::to_string(kMaxTotalBytes) + " bytes");
    }
    entries.push_back(planned);
  }
  if (archive_read_has_encrypted_entries(a.get()) > 0) Refuse(ar::kEncrypted, "the archive has encrypted entries");
  CheckNamesClash(entries);
  return entries;
}

// Creates folders and files below one folder, never following a symlink below it.
class FolderWriter {
 public:
  FolderWriter(int root, std::string root_name) : root_(root), root_name_(std::move(root_name)) {}

  // The folder at `rel` ("" for the root), created with its parents where missing. A symlink or a
  // file in the way is removed and replaced by a folder. The descriptor stays owned by the writer.
  int OpenFolder(const std::string& rel) {
    if (rel.empty()) return root_;
    if (cached_fd_.get() >= 0 && rel == cached_path_) return cached_fd_.get();
    UniqueFd current;
    int at = root_;
    size_t start = 0;
    while (start < rel.size()) {
      size_t end = rel.find('/', start);
      if (end == std::string::npos) end = rel.size();
      const std::string part = rel.substr(start, end - start);
      current = OpenOrMakeFolder(at, part, rel.substr(0, end));
      at = current.get();
      start = end + 1;
    }
    cached_fd_ = std::move(current);
    cached_path_ = rel;
    return cached_fd_.get();
  }

  // Streams the current entry's data into `rel`, replacing whatever file was there.
  void WriteFile(archive* a, const std::string& rel, uint64_t declared_size, uint64_t& total_written) {
    const size_t slash = rel.rfind('/');
    const int folder = OpenFolder(slash == std::string::npos ? "" : rel.substr(0, slash));
    const std::string leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);

    std::string temp;
    UniqueFd out;
    for (int attempt = 0; attempt < 100 && out.get() < 0; ++attempt) {
      temp = ".vardenix-" + std::to_string(::getpid()) + "-" + std::to_string(++temp_counter_) + ".part";
      out = UniqueFd(::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (out.get() < 0 && errno != EEXIST) CannotWrite(rel, errno);
    }
    if (out.get() < 0) CannotWrite(rel, EEXIST);
    struct TempRemover {
      int folder;
      const std::string& name;
      bool armed = true;
      ~TempRemover() {
        if (armed) ::unlinkat(folder, name.c_str(), 0);
      }
    } remover{folder, temp};

    const la_int64_t consumed_at_start = archive_filter_bytes(a, -1);
    uint64_t produced = 0;
    uint64_t written_end = 0;
    for (;;) {
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      const int rc = archive_read_data_block(a, &block, &size, &offset);
      if (rc == ARCHIVE_EOF) break;
      if (rc != ARCHIVE_OK) {
        Refuse(ar::kCorruptData, "entry " + Quoted(rel) + ": the data is damaged: " + ArchiveError(a));
      }
      if (offset < 0) Refuse(ar::kCorruptData, "entry " + Quoted(rel) + ": the data is damaged");
      produced = std::max(produced, static_cast<uint64_t>(offset) + size);
      total_written += size;
      if (total_written > kMaxTotalBytes) {
        Refuse(ar::kTooLarge, "the archive expands to more than " + std::to_string(kMaxTotalBytes) + " bytes");
      }
      if (declared_size != 0 && produced > declared_size) {
        Refuse(ar::kCorruptData, "entry " + Quoted(rel) + " holds more data than its header declares");
      }
      // Declared sizes can lie; the ratio is checked again on the bytes really read and produced.
      const la_int64_t consumed = archive_filter_bytes(a, -1) - consumed_at_start;
      if (produced > kRatioExemptBytes && produced / kMaxRatio >= static_cast<uint64_t>(std::max<la_int64_t>(consumed, 0)) + 1) {
        Refuse(ar::kTooLarge, "entry " + Quoted(rel) + " expands more than " + std::to_string(kMaxRatio) + " times");
      }
      WriteAll(out.get(), static_cast<const char*>(block), size, static_cast<off_t>(offset), rel);
      if (size > 0) written_end = std::max(written_end, static_cast<uint64_t>(offset) + size);
    }
    if (produced > written_end && ::ftruncate(out.get(), static_cast<off_t>(produced)) != 0) CannotWrite(rel, errno);
    if (::fchmod(out.get(), kFileMode) != 0) CannotWrite(rel, errno);
    if (::close(out.Release()) != 0) CannotWrite(rel, errno);  // the last chance to hear of a failed write
    // The earlier file goes first: ext4 flushes a file renamed over another one to disk at once,
    // which made re-extracting into the same folder wait on the disk. A failure here is no
    // reason to stop; the rename then says what is wrong.
    ::unlinkat(folder, leaf.c_str(), 0);
    if (::renameat(folder, temp.c_str(), folder, leaf.c_str()) != 0) CannotWrite(rel, errno);
    remover.armed = false;
  }

 private:
  [[noreturn]] void CannotWrite(const std::string& rel, int err) {
    Refuse(ar::kCannotWrite, "cannot write " + Printable(root_name_) + "/" + Printable(rel) + ": " + Errno(err));
  }

  void WriteAll(int fd, const char* data, size_t size, off_t offset, const std::string& rel) {
    while (size > 0) {
      const ssize_t n = ::pwrite(fd, data, size, offset);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) CannotWrite(rel, n < 0 ? errno : EIO);
      data += n;
      size -= static_cast<size_t>(n);
      offset += n;
    }
  }

  UniqueFd OpenOrMakeFolder(int at, const std::string& part, const std::string& rel) {
    constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < 3; ++attempt) {
      UniqueFd fd(::openat(at, part.c_str(), kOpenFlags));
      if (fd.get() >= 0) return fd;
      if (errno == ELOOP || errno == ENOTDIR) {
        // A symlink or a file where the archive has a folder: replace it, never follow it.
        if (::unlinkat(at, part.c_str(), 0) != 0 && errno != ENOENT) CannotWrite(rel, errno);
      } else if (errno != ENOENT) {
        CannotWrite(rel, errno);
      }
      if (::mkdirat(at, part.c_str(), kFolderMode) == 0) {
        UniqueFd made(::openat(at, part.c_str(), kOpenFlags));
        if (made.get() < 0) CannotWrite(rel, errno);
        if (::fchmod(made.get(), kFolderMode) != 0) CannotWrite(rel, errno);
        return made;
      }
      if (errno != EEXIST) CannotWrite(rel, errno);
    }
    CannotWrite(rel, ELOOP);
  }

  int root_;
  std::string root_name_;
  std::string cached_path_;
  UniqueFd cached_fd_;
  static inline std::atomic<uint64_t> temp_counter_{0};
};

void WriteEntries(int fd, const std::string& path, int target, const std::string& target_name,
                  const std::vector<PlannedEntry>& plan) {
  Reader a = OpenReader(fd, path);
  FolderWriter writer(target, target_name);
  archive_entry* entry = nullptr;
  PlannedEntry planned;
  uint64_t declared = 0;
  uint64_t total_written = 0;
  size_t index = 0;
  while (NextEntry(a.get(), entry, planned, declared)) {
    if (index >= plan.size() || plan[index].path != planned.path || plan[index].is_folder != planned.is_folder) {
      Refuse(ar::kCorruptData, "the archive changed while it was being extracted");
    }
    ++index;
    if (planned.is_folder) {
      writer.OpenFolder(planned.path);
    } else {
      writer.WriteFile(a.get(), planned.path, declared, total_written);
    }
  }
  if (index != plan.size()) Refuse(ar::kCorruptData, "the archive changed while it was being extracted");
}

void Extract(const std::string& archive_path, const std::string& target) {
  UniqueFd folder(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      Refuse(ar::kNoTargetFolder, "the target folder \"" + Printable(target) + "\" does not exist");
    }
    Refuse(ar::kCannotWrite, "cannot open the target folder \"" + Printable(target) + "\": " + Errno(err));
  }
  // O_NONBLOCK so that a fifo at the archive path cannot hang the call; it is refused just below.
  UniqueFd file(::open(archive_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) Refuse(ar::kCannotOpen, "cannot open " + Printable(archive_path) + ": " + Errno(errno));
  struct stat st;
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Refuse(ar::kCannotOpen, Printable(archive_path) + " is not a regular file");
  }
  ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);

  ScopedUtf8Locale utf8;
  const std::vector<PlannedEntry> plan = Survey(file.get(), archive_path);
  WriteEntries(file.get(), archive_path, folder.get(), target, plan);
}

class LibarchiveControl final : public DispatchObject {
 public:
  void Put(int32_t dispid, const Variant& value) override {
    std::lock_guard lock(mutex_);
    switch (dispid) {
      case archive_dispid::kZipFilename:
        archive_path_ = ToText(value);
        return;
      case archive_dispid::kOption16:
        option16_ = ToInt32(value) != 0;
        return;
      case archive_dispid::kOption11:
        option11_ = ToInt16(value);
        return;
      case archive_dispid::kUnzipToFolder:
        target_ = ToText(value);
        return;
      default:
        throw RuntimeError("the archive control has no property with dispatch id " + std::to_string(dispid));
    }
  }

  Variant Get(int32_t dispid) override {
    std::lock_guard lock(mutex_);
    switch (dispid) {
      case archive_dispid::kZipFilename:
        return Variant::Text(archive_path_);
      case archive_dispid::kOption16:
        return Variant::Bool(option16_);
      case archive_dispid::kOption11:
        return Variant::I2(option11_);
      case archive_dispid::kUnzipToFolder:
        return Variant::Text(target_);
      case archive_dispid::kLastFailureReason:
        return Variant::Text(last_failure_);
      default:
        throw RuntimeError("the archive control has no property with dispatch id " + std::to_string(dispid));
    }
  }

  Variant Call(int32_t dispid, const std::vector<Variant>& args) override {
    std::lock_guard lock(mutex_);
    if (dispid != archive_dispid::kUnzip) {
      throw RuntimeError("the archive control has no method with dispatch id " + std::to_string(dispid));
    }
    if (args.size() != 1) {
      throw RuntimeError("method " + std::to_string(dispid) + " of the archive control takes 1 argument, not " +
                         std::to_string(args.size()));
    }
    (void)ToInt16(args.front());  // an argument that does not convert fails the call, as Automation would
    try {
      Extract(archive_path_, target_);
    } catch (const Refusal& refusal) {
      last_failure_ = refusal.reason;
      return Variant::I2(refusal.code);
    }
    last_failure_.clear();
    return Variant::I2(ar::kSuccess);
  }

 private:
  std::mutex mutex_;
  std::string archive_path_;
  bool option16_ = false;
  int16_t option11_ = 0;
  std::string target_;
  std::string last_failure_;
};

}  // namespace

DispatchObject& SystemArchiveControl() {
  static LibarchiveControl control;
  return control;
}

}  // namespace vardenix
