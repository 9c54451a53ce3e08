// The archive control on libarchive.
//
// An extraction is two passes over the archive. The survey reads the raw directory and every header
// and refuses the whole archive before anything is written. The writing pass streams each entry's
// data blocks into a temporary file beside its destination and renames it into place, so memory
// does not grow with the archive and a failing entry never leaves a partial file or destroys the
// earlier file of that name. What the writing pass creates is remembered for the target folder, and
// the next extraction into that folder removes it first; an extraction that fails part-way removes
// what it had created itself.
//
// The archive is judged by the survey both platforms share (archive_policy.h): names are decoded
// there from the raw bytes of the directory, not by libarchive, which knows only one character set
// for every name without the UTF-8 flag; libarchive is used for each entry's type, encryption and
// data, entry by entry in the same order (libarchive_entries.h).
//
// Files are created with *at() calls relative to the target folder, each folder opened with
// O_NOFOLLOW. libarchive's own disk writer is not used: its symlink guard walks the whole path from
// the root with chdir(), which changes the working directory of every thread in the host and, with
// ARCHIVE_EXTRACT_UNLINK, removes symlinks in the host's own folder path; and its absolute-path
// guard rejects every entry once the entry is joined to an absolute target folder.
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>
#ifdef VARDENIX_HAVE_ZLIB
#include <zlib.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "archive/archive_control.h"
#include "archive/archive_control_base.h"
#include "archive/archive_policy.h"
#include "archive/extraction_ledger.h"
#include "archive/libarchive_entries.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

namespace ar = archive_result;
using namespace archive_policy;  // the judgement both platforms share

constexpr mode_t kFileMode = 0644;
constexpr mode_t kFolderMode = 0755;
constexpr size_t kReadBlockBytes = 64 * 1024;

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

// One entry of a run's footprint (platform/run_footprints.h) in a target folder: what one extraction
// created, or, once a scoring run has ended, everything that run left. An entry is known by its
// identity, never by what is in it: one removed and made anew under the same name by someone else
// is not ours.
struct Created {
  std::string path;  // relative to the target folder
  uint64_t ino = 0;
  int64_t birth_ns = 0;  // 0 where the file system keeps no birth time
  bool folder = false;
  bool file = false;  // a regular file
};

constexpr unsigned kStatxWanted = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_INO | STATX_SIZE |
                                  STATX_MTIME | STATX_CTIME | STATX_BTIME;

uint64_t DevOf(const struct statx& sx) { return (uint64_t{sx.stx_dev_major} << 32) | sx.stx_dev_minor; }

int64_t BirthNs(const struct statx& sx) {
  return (sx.stx_mask & STATX_BTIME) != 0 ? int64_t{sx.stx_btime.tv_sec} * 1'000'000'000 + sx.stx_btime.tv_nsec : 0;
}

int64_t ChangeNs(const struct statx& sx) { return int64_t{sx.stx_ctime.tv_sec} * 1'000'000'000 + sx.stx_ctime.tv_nsec; }

// The entry `name` in the folder `at` (or the folder itself for ""), never followed.
bool StatAt(int at, const char* name, struct statx& sx) {
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  return ::statx(at, name, flags, kStatxWanted, &sx) == 0;
}

// Another file system, or the root of a mount of this one (a bind mount keeps the device).
bool OtherMount(const struct statx& sx, uint64_t root_dev) {
  return DevOf(sx) != root_dev ||
         ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0);
}

bool SameEntry(const struct statx& sx, const Created& c) {
  return sx.stx_ino == c.ino && (c.birth_ns == 0 || BirthNs(sx) == c.birth_ns) && S_ISDIR(sx.stx_mode) == c.folder;
}

Created EntryOf(std::string path, const struct statx& sx) {
  return Created{std::move(path), sx.stx_ino, BirthNs(sx), S_ISDIR(sx.stx_mode), S_ISREG(sx.stx_mode)};
}

// A folder's identity: device and inode, and its birth time where the file system keeps one, so that
// a folder removed and made anew on a reused inode is not taken for the old one.
struct FolderKey {
  uint64_t dev = 0;
  uint64_t ino = 0;
  int64_t birth_sec = 0;
  uint32_t birth_nsec = 0;
  bool operator==(const FolderKey& o) const {
    return dev == o.dev && ino == o.ino && birth_sec == o.birth_sec && birth_nsec == o.birth_nsec;
  }
};

// The footprint of the last run (or extraction) in each folder (archive/extraction_ledger.h).
using CreatedLedger = ExtractionLedger<FolderKey, Created>;

bool KeyOf(int folder, FolderKey& key) {
  struct statx st;
  if (::statx(folder, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &st) != 0) return false;
  const bool born = (st.stx_mask & STATX_BTIME) != 0;
  key = FolderKey{DevOf(st), st.stx_ino, born ? st.stx_btime.tv_sec : 0, born ? st.stx_btime.tv_nsec : 0u};
  return true;
}

// Removes a recorded footprint below `root` (on the device `root_dev`), newest first: each entry only
// while it still has its recorded identity, files and links (as links) whatever was done to them,
// except the archive about to be extracted; a folder only when it is empty. Nothing is followed
// through a symbolic link, and nothing is touched in another mount. Answers the path of the first
// entry that stayed because it could not be removed (empty when none did).
//
// A folder named in `reuse` (and every folder holding one that stays) is left in place when it is
// still the folder that extraction made, and handed back in `reused`, oldest first: the next
// extraction would only make it again, and removing a folder and making it anew costs the file
// system far more than a file does (ext4 on disk: about 2 ms each).
std::string RemoveCreated(int root, uint64_t root_dev, const std::vector<Created>& created, const struct stat& archive,
                          const std::unordered_set<std::string_view>* reuse = nullptr,
                          std::vector<Created>* reused = nullptr) {
  std::string kept;
  std::unordered_set<std::string> holds_reused;  // folders that hold a reused folder
  const auto remove_file = [&](int at, const std::string& leaf, const std::string& path) {
    if (::unlinkat(at, leaf.c_str(), 0) != 0 && errno != ENOENT && kept.empty()) kept = path + ": " + Errno(errno);
  };
  std::string open_path;
  UniqueFd open_fd;
  for (auto it = created.rbegin(); it != created.rend(); ++it) {
    const size_t slash = it->path.rfind('/');
    const std::string parent = slash == std::string::npos ? std::string() : it->path.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? it->path : it->path.substr(slash + 1);
    int at = root;
    if (!parent.empty()) {
      if (parent != open_path || open_fd.get() < 0) {
        open_fd.Reset();
        open_path = parent;
        UniqueFd walk;
        int from = root;
        size_t start = 0;
        while (start < parent.size()) {
          size_t end = parent.find('/', start);
          if (end == std::string::npos) end = parent.size();
          const std::string part = parent.substr(start, end - start);
          walk = UniqueFd(::openat(from, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
          if (walk.get() < 0) break;
          struct statx here;
          if (!StatAt(walk.get(), "", here) || OtherMount(here, root_dev)) {
            walk.Reset();
            break;
          }
          from = walk.get();
          start = end + 1;
        }
        if (walk.get() >= 0) open_fd = std::move(walk);
      }
      if (open_fd.get() < 0) continue;  // the folder is gone, or a link or file stands in its way
      at = open_fd.get();
    }
    struct statx st;
    if (!StatAt(at, leaf.c_str(), st) || OtherMount(st, root_dev) || !SameEntry(st, *it)) continue;
    if (it->folder) {
      // Newest first: a folder comes after everything inside it.
      if (reuse != nullptr && reused != nullptr && (reuse->count(it->path) != 0 || holds_reused.count(it->path) != 0)) {
        reused->push_back(*it);
        if (!parent.empty()) holds_reused.insert(parent);
        continue;
      }
      if (open_path == it->path) open_fd.Reset();  // its descriptor is not needed again
      ::unlinkat(at, leaf.c_str(), AT_REMOVEDIR);  // fails, and keeps it, when anything else is inside
    } else if (!(DevOf(st) == (uint64_t{major(archive.st_dev)} << 32 | minor(archive.st_dev)) &&
                 st.stx_ino == archive.st_ino)) {
      remove_file(at, leaf, it->path);
    }
  }
  if (reused != nullptr) std::reverse(reused->begin(), reused->end());
  return kept;
}

// The folders an extraction of `plan` opens or makes: every entry's parent and every folder entry
// (their own parents are kept by RemoveCreated when a folder inside them is).
std::unordered_set<std::string_view> FoldersOf(const std::vector<PlannedEntry>& entries) {
  std::unordered_set<std::string_view> folders;
  for (const PlannedEntry& e : entries) {
    const std::string_view path(e.path);
    if (e.is_folder) folders.insert(path);
    const size_t slash = path.rfind('/');
    if (slash != std::string_view::npos) folders.insert(path.substr(0, slash));
  }
  return folders;
}

// The previous extraction's files that this archive writes again under the same name. Each is written
// over in place when it is still the file that extraction wrote: on ext4 that costs about a tenth
// of removing the file and making it anew, which frees and allocates an inode and blocks each time.
// What the writer does not take (the extraction failed first) is removed as before.
class ReusableFiles {
 public:
  ReusableFiles() = default;
  explicit ReusableFiles(std::vector<Created> files) : files_(std::move(files)), taken_(files_.size(), false) {
    index_.reserve(files_.size());
    for (size_t i = 0; i < files_.size(); ++i) index_.emplace(files_[i].path, i);
  }
  ReusableFiles(const ReusableFiles&) = delete;
  ReusableFiles& operator=(const ReusableFiles&) = delete;

  // The earlier file at `rel`, handed out once; null when there is none.
  const Created* Take(const std::string& rel) {
    if (index_.empty()) return nullptr;
    const auto it = index_.find(rel);
    if (it == index_.end() || taken_[it->second]) return nullptr;
    taken_[it->second] = true;
    return &files_[it->second];
  }

  // The earlier files not handed out.
  std::vector<Created> Untaken() const {
    std::vector<Created> rest;
    for (size_t i = 0; i < files_.size(); ++i) {
      if (!taken_[i]) rest.push_back(files_[i]);
    }
    return rest;
  }

 private:
  std::vector<Created> files_;
  std::vector<bool> taken_;
  std::unordered_map<std::string_view, size_t> index_;
};

bool Stopped(const StopFlag* stop) { return stop != nullptr && stop->load(std::memory_order_relaxed); }

#ifdef VARDENIX_HAVE_ZLIB
// An entry stored or deflated, read from the archive's bytes in memory with zlib. Its data must end
// where the deflate stream says and match the CRC-32 the central directory gives, or it is damaged.
class InflatedBlocks final : public BlockSource {
 public:
  InflatedBlocks(const char* data, const PlannedEntry& entry) : entry_(entry), stored_(entry.method == 0) {
    if (!stored_) {
      if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) Refuse(ar::kCannotOpen, "cannot start inflating: out of memory");
      started_ = true;
      stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
      stream_.avail_in = static_cast<uInt>(entry.compressed_size);
    } else {
      data_ = data;
    }
  }
  ~InflatedBlocks() override {
    if (started_) inflateEnd(&stream_);
  }
  InflatedBlocks(const InflatedBlocks&) = delete;
  InflatedBlocks& operator=(const InflatedBlocks&) = delete;

  bool Next(const std::string& rel, const void*& block, size_t& size, uint64_t& offset) override {
    if (ended_) {
      // An uncompressed size the headers declare is not trusted either way: the writer refuses data
      // that runs past it, and data that ends short of it is what the entry holds (as libarchive
      // reads it).
      if (crc_ != entry_.crc32) Refuse(ar::kCorruptData, "entry " + Quoted(rel) + ": the data is damaged: bad CRC-32");
      // A deflate stream that ends before the compressed size the directory gives leaves bytes no
      // reader accounts for; libarchive refuses such an entry ("compressed data is wrong size"), and
      // so does this path, so that an archive is judged alike whichever reader extracts it.
      if (!stored_ && stream_.total_in != entry_.compressed_size) {
        Refuse(ar::kCorruptData, "entry " + Quoted(rel) + ": the data is damaged: its compressed data is " +
                                     std::to_string(stream_.total_in) + " bytes, the directory says " +
                                     std::to_string(entry_.compressed_size));
      }
      return false;
    }
    offset = produced_;
    if (stored_) {
      block = data_;
      size = static_cast<size_t>(entry_.compressed_size);
      ended_ = true;
    } else {
      // One output block per thread, kept: a block allocated per entry made malloc grow and trim
      // its heap with brk several times a record.
      thread_local std::unique_ptr<Bytef[]> out(new Bytef[kReadBlockBytes]);
      out_ = out.get();
      stream_.next_out = out_;
      stream_.avail_out = static_cast<uInt>(kReadBlockBytes);
      const int rc = inflate(&stream_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        ended_ = true;
      } else if (rc != Z_OK) {
        Refuse(ar::kCorruptData, "entry " + Quoted(rel) + ": the data is damaged: " +
                                     (rc == Z_BUF_ERROR ? std::string("it ends early")
                                                        : std::string(stream_.msg ? stream_.msg : "inflate failed")));
      }
      block = out_;
      size = kReadBlockBytes - stream_.avail_out;
    }
    produced_ += size;
    crc_ = static_cast<uint32_t>(::crc32_z(crc_, static_cast<const Bytef*>(block), size));
    return true;
  }
  uint64_t Consumed() const override { return stored_ ? entry_.compressed_size : stream_.total_in; }

 private:
  const PlannedEntry& entry_;
  const bool stored_;
  const char* data_ = nullptr;
  z_stream stream_{};
  bool started_ = false;
  bool ended_ = false;
  uint64_t produced_ = 0;
  uint32_t crc_ = 0;
  Bytef* out_ = nullptr;
};
#endif

// Creates folders and files below one folder, never following a symlink below it, and notes in
// `created` every file and folder it made.
class FolderWriter {
 public:
  // `reusable`: earlier files that may be written over in place, on `root_dev` (the device of the
  // folder `root`) only; `archive`: the archive being read, which is never written over.
  FolderWriter(int root, std::string root_name, const Limits& limits, const StopFlag* stop,
               std::vector<Created>& created, ReusableFiles& reusable, uint64_t root_dev, const struct stat& archive)
      : root_(root),
        root_name_(std::move(root_name)),
        limits_(limits),
        stop_(stop),
        created_(created),
        reusable_(reusable),
        root_dev_(root_dev),
        archive_(archive),
        archive_dev_((uint64_t{major(archive.st_dev)} << 32) | minor(archive.st_dev)) {}

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

  // Streams the current entry's data into `rel`, replacing whatever file was there. The data must
  // expand to exactly the `declared_size` bytes the directory gives (a reader that trusted either
  // would extract another file than a reader that trusted the data), and is judged by what it
  // really expands to as it is written.
  void WriteFile(BlockSource& source, const std::string& rel, uint64_t declared_size, uint64_t& total_written) {
    const size_t slash = rel.rfind('/');
    const int folder = OpenFolder(slash == std::string::npos ? "" : rel.substr(0, slash));
    const std::string leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);

    // The common case on a check: the previous answer had a file of this name, still as it was
    // written, and it is written over in place (removed again if the entry fails; it was that
    // answer's, not the host's). Otherwise the name is usually free and the file is made under its
    // own name, removed again if the entry fails. When something else is there, the data goes to a
    // temporary file beside it that is renamed over it at the end, so a failing entry leaves that
    // file as it was.
    std::string temp;
    uint64_t stale_end = 0;  // the earlier content not yet written over lies before this offset
    UniqueFd out = OpenEarlierFile(folder, leaf, rel, stale_end);
    if (out.get() < 0) {
      out = UniqueFd(::openat(folder, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
      if (out.get() < 0 && errno != EEXIST) CannotWrite(rel, errno);
    }
    for (int attempt = 0; attempt < 100 && out.get() < 0; ++attempt) {
      if (pid_.empty()) pid_ = std::to_string(::getpid());
      temp = ".vardenix-" + pid_ + "-" + std::to_string(++temp_counter_) + ".part";
      out = UniqueFd(::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (out.get() < 0 && errno != EEXIST) CannotWrite(rel, errno);
    }
    if (out.get() < 0) CannotWrite(rel, EEXIST);
    struct PartialRemover {
      int folder;
      const std::string& name;
      bool armed = true;
      ~PartialRemover() {
        if (armed) ::unlinkat(folder, name.c_str(), 0);
      }
    } remover{folder, temp.empty() ? leaf : temp};

    EntryData judged(limits_, rel, declared_size, total_written);
    uint64_t written_end = 0;
    for (;;) {
      if (Stopped(stop_)) RefuseStopped();
      const void* block = nullptr;
      size_t size = 0;
      uint64_t offset = 0;
      if (!source.Next(rel, block, size, offset)) break;
      judged.Block(offset, size, source.Consumed());
      // A gap in the data reads as zeros, never as the earlier content.
      if (offset > written_end && stale_end > written_end) Truncate(out.get(), written_end, stale_end, rel);
      WriteAll(out.get(), static_cast<const char*>(block), size, static_cast<off_t>(offset), rel);
      if (size > 0) written_end = std::max(written_end, static_cast<uint64_t>(offset) + size);
    }
    judged.End();
    const uint64_t produced = judged.produced();
    // Cut to a length other than zero only: ext4 writes a file truncated to zero and written again
    // back to disk as soon as it is closed.
    if (stale_end > written_end) Truncate(out.get(), written_end, stale_end, rel);
    if (produced > written_end && ::ftruncate(out.get(), static_cast<off_t>(produced)) != 0) CannotWrite(rel, errno);
    // A file made under its own name already has mode 0644 unless the host's umask takes bits away;
    // the fstat that records the file for the next extraction's clean-up says which.
    struct statx st;
    if (!StatAt(out.get(), "", st)) CannotWrite(rel, errno);
    if ((st.stx_mode & 07777) != kFileMode && ::fchmod(out.get(), kFileMode) != 0) CannotWrite(rel, errno);
    if (::close(out.Release()) != 0) CannotWrite(rel, errno);  // the last chance to hear of a failed write
    if (!temp.empty()) {
      // The earlier file goes first: ext4 flushes a file renamed over another one to disk at once,
      // which made re-extracting into the same folder wait on the disk. A failure here is no
      // reason to stop; the rename then says what is wrong.
      ::unlinkat(folder, leaf.c_str(), 0);
      if (::renameat(folder, temp.c_str(), folder, leaf.c_str()) != 0) CannotWrite(rel, errno);
    }
    remover.armed = false;
    created_.push_back(EntryOf(rel, st));
  }

 private:
  [[noreturn]] void CannotWrite(const std::string& rel, int err) {
    Refuse(ar::kCannotWrite, "cannot write " + Printable(root_name_) + "/" + Printable(rel) + ": " + Errno(err));
  }

  // The previous run's file at `rel`, opened for writing over, when writing it over ends as removing
  // it and making it anew would, whatever that run did to its content: a regular file on the
  // folder's device (not a mount of its own) with its recorded identity, of this process's user, with
  // no other name (a hard link made since would carry the new data elsewhere) and no extended
  // attributes (an access list would outlive the new content), and not the archive being read. No
  // link is followed. Closed (an invalid descriptor) otherwise; the caller then makes the file anew
  // or replaces what is there. `stale_end` gets the file's length.
  UniqueFd OpenEarlierFile(int folder, const std::string& leaf, const std::string& rel, uint64_t& stale_end) {
    const Created* earlier = reusable_.Take(rel);
    if (earlier == nullptr) return UniqueFd();
    // O_NONBLOCK: a fifo that stands at the name now cannot hang the open.
    UniqueFd fd(::openat(folder, leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return UniqueFd();
    static const uid_t user = ::geteuid();
    struct statx st;
    if (!StatAt(fd.get(), "", st) || !S_ISREG(st.stx_mode) || st.stx_nlink != 1 || !SameEntry(st, *earlier) ||
        OtherMount(st, root_dev_) || st.stx_uid != user ||
        (DevOf(st) == archive_dev_ && st.stx_ino == archive_.st_ino) || ::flistxattr(fd.get(), nullptr, 0) != 0) {
      return UniqueFd();
    }
    stale_end = st.stx_size;
    return fd;
  }

  void Truncate(int fd, uint64_t length, uint64_t& stale_end, const std::string& rel) {
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0) CannotWrite(rel, errno);
    stale_end = length;
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
        struct statx st;
        if (!StatAt(made.get(), "", st)) CannotWrite(rel, errno);
        if ((st.stx_mode & 07777) != kFolderMode && ::fchmod(made.get(), kFolderMode) != 0) CannotWrite(rel, errno);
        created_.push_back(EntryOf(rel, st));
        return made;
      }
      if (errno != EEXIST) CannotWrite(rel, errno);
    }
    CannotWrite(rel, ELOOP);
  }

  int root_;
  std::string root_name_;
  const Limits& limits_;
  const StopFlag* stop_;
  std::vector<Created>& created_;
  ReusableFiles& reusable_;
  uint64_t root_dev_;
  const struct stat& archive_;
  uint64_t archive_dev_;
  std::string pid_;  // for the names of temporary files, read when the first one is needed
  std::string cached_path_;
  UniqueFd cached_fd_;
  static inline std::atomic<uint64_t> temp_counter_{0};
};

#ifdef VARDENIX_HAVE_ZLIB
// Archives up to Limits::archive_in_memory_bytes whose entries are all stored or deflated are read
// into memory at once and inflated with zlib: one read for the whole archive, and none of
// libarchive's per-entry work (its reader converts each header's MS-DOS time with mktime, which
// makes glibc look at /etc/localtime twice an entry when TZ is not set). Larger archives and other
// methods go through libarchive; both judge an archive alike.
// The buffer of an archive up to this size stays with the thread for its next extraction.
constexpr size_t kKeptArchiveBytes = size_t{1} << 20;

bool Inflatable(const Plan& plan, const Limits& limits) {
  if (plan.archive_end > limits.archive_in_memory_bytes) return false;
  for (const PlannedEntry& e : plan.entries) {
    if (!e.plain || (e.method != 0 && e.method != 8)) return false;
  }
  return true;
}

void WriteInflated(int fd, const Plan& plan, const StopFlag* stop, FolderWriter& writer) {
  // The archive's bytes; the buffer is kept for the thread's next archive when it is small.
  thread_local std::vector<char> kept;
  std::vector<char> bytes = std::move(kept);
  bytes.resize(static_cast<size_t>(plan.archive_end));
  struct KeepSmall {
    std::vector<char>& bytes;
    ~KeepSmall() {
      if (bytes.capacity() <= kKeptArchiveBytes) kept = std::move(bytes);
    }
  } keep_small{bytes};
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Refuse(ar::kCannotOpen, "cannot read the archive: " + (n < 0 ? Errno(errno) : std::string("it is shorter than it was")));
    done += static_cast<size_t>(n);
  }
  uint64_t total_written = 0;
  for (const PlannedEntry& planned : plan.entries) {
    if (Stopped(stop)) RefuseStopped();
    if (planned.is_folder) {
      writer.OpenFolder(planned.path);
      continue;
    }
    InflatedBlocks source(bytes.data() + planned.data_offset, planned);
    writer.WriteFile(source, planned.path, planned.uncompressed_size, total_written);
  }
}
#endif

void WriteEntries(int fd, const std::string& path, const Plan& plan, const Limits& limits, const StopFlag* stop,
                  FolderWriter& writer) {
#ifdef VARDENIX_HAVE_ZLIB
  if (Inflatable(plan, limits)) return WriteInflated(fd, plan, stop, writer);
#endif
  // An archive of no entries has nothing to read (libarchive does not take one whose end record
  // is all there is).
  if (plan.entries.empty()) return;
  ArchiveView view(fd, plan.end_record);
  Reader a = OpenReader(view, path);
  archive_entry* entry = nullptr;
  uint64_t total_written = 0;
  size_t index = 0;
  while (NextHeader(a.get(), entry)) {
    if (Stopped(stop)) RefuseStopped();
    if (index >= plan.entries.size()) Refuse(ar::kCorruptData, "the archive changed while it was being extracted");
    const PlannedEntry& planned = plan.entries[index++];
    CheckHeader(entry, planned);
    // The survey's judgement of folder or file stands, as it does for the in-memory reader.
    if (planned.is_folder) {
      writer.OpenFolder(planned.path);
    } else {
      LibarchiveBlocks source(a.get());
      writer.WriteFile(source, planned.path, planned.uncompressed_size, total_written);
    }
  }
  if (index != plan.entries.size()) Refuse(ar::kCorruptData, "the archive changed while it was being extracted");
  if (archive_read_has_encrypted_entries(a.get()) > 0) Refuse(ar::kEncrypted, "the archive has encrypted entries");
}

void Extract(const std::string& archive_path, const std::string& target, const Limits& limits,
             const StopFlag* stop) {
  UniqueFd folder(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      Refuse(ar::kNoTargetFolder, "the target folder \"" + Printable(target) + "\" does not exist");
    }
    Refuse(ar::kCannotWrite, "cannot open the target folder \"" + Printable(target) + "\": " + Errno(err));
  }
  FolderKey key;
  if (!KeyOf(folder.get(), key)) {
    Refuse(ar::kCannotWrite, "cannot open the target folder \"" + Printable(target) + "\": " + Errno(errno));
  }
  const uint64_t root_dev = key.dev;

  // O_NONBLOCK so that a fifo at the archive path cannot hang the call; it is refused just below.
  UniqueFd file(::open(archive_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat archive_st {};
  const bool opened = file.get() >= 0;
  const int open_errno = errno;
  const bool regular = opened && ::fstat(file.get(), &archive_st) == 0 && S_ISREG(archive_st.st_mode);

  // The survey only reads; it comes first so that the folders this archive needs again can stay.
  ScopedUtf8Locale utf8;
  std::optional<Plan> plan;
  std::exception_ptr refused;  // thrown after the clean-up below
  if (regular) {
    try {
      plan = Survey(file.get(), limits, NameRules::kPosix);
    } catch (...) {
      refused = std::current_exception();
    }
  }

  // What the previous extraction into this folder created goes first, whatever this archive holds:
  // nothing another answer left may make this one pass. Its files that this archive writes again
  // are written over instead (FolderWriter), or removed when the extraction fails before them.
  std::vector<Created> previous = CreatedLedger::Instance().Take(key);
  std::vector<Created> created;
  std::unordered_set<std::string_view> needed;
  std::vector<Created> rewritten;
  if (plan && !previous.empty()) {
    needed = FoldersOf(plan->entries);
    std::unordered_set<std::string_view> files;
    for (const PlannedEntry& e : plan->entries) {
      if (!e.is_folder) files.insert(e.path);
    }
    const auto again = std::stable_partition(previous.begin(), previous.end(), [&](const Created& c) {
      return c.folder || files.count(c.path) == 0;
    });
    rewritten.assign(std::make_move_iterator(again), std::make_move_iterator(previous.end()));
    previous.erase(again, previous.end());
  }
  const std::string kept = RemoveCreated(folder.get(), root_dev, previous, archive_st, &needed, &created);
  if (!kept.empty()) {
    previous.insert(previous.end(), rewritten.begin(), rewritten.end());
    CreatedLedger::Instance().Keep(key, std::move(previous));  // the next extraction tries again
    Refuse(ar::kCannotWrite, "cannot remove what the previous extraction wrote, " + Printable(kept) +
                                 "; it could be graded with this answer");
  }

  if (!opened) Refuse(ar::kCannotOpen, "cannot open " + Printable(archive_path) + ": " + Errno(open_errno));
  if (!regular) Refuse(ar::kCannotOpen, Printable(archive_path) + " is not a regular file");
  if (refused) std::rethrow_exception(refused);
  ReusableFiles reusable(std::move(rewritten));
  FolderWriter writer(folder.get(), target, limits, stop, created, reusable, root_dev, archive_st);
  // The descriptor keeps O_NONBLOCK, which a regular file's reads ignore.
  try {
    WriteEntries(file.get(), archive_path, *plan, limits, stop, writer);
    // Every earlier file of a name the archive holds has been written over by now, unless the
    // reader disagreed with the survey on an entry's type.
    const std::string stayed = RemoveCreated(folder.get(), root_dev, reusable.Untaken(), archive_st);
    if (!stayed.empty()) {
      Refuse(ar::kCannotWrite, "cannot remove what the previous extraction wrote, " + Printable(stayed) +
                                   "; it could be graded with this answer");
    }
  } catch (...) {
    // No half answer: what this extraction wrote before it failed is removed again, and so is what
    // the previous one wrote under the names this one did not reach.
    std::vector<Created> untaken = reusable.Untaken();
    const bool stayed = !RemoveCreated(folder.get(), root_dev, untaken, archive_st).empty();
    if (!RemoveCreated(folder.get(), root_dev, created, archive_st).empty() || stayed) {
      created.insert(created.end(), untaken.begin(), untaken.end());  // files before their folders
      CreatedLedger::Instance().Keep(key, std::move(created));  // what stayed is removed next time
    }
    throw;
  }
  CreatedLedger::Instance().Keep(key, std::move(created));
}

// An entry found under a working folder.
struct Found {
  Created entry;
  int64_t change_ns = 0;
};

// An entry's identity, as a key.
struct Identity {
  uint64_t ino = 0;
  int64_t birth_ns = 0;
  bool operator==(const Identity& o) const { return ino == o.ino && birth_ns == o.birth_ns; }
};
struct IdentityHash {
  size_t operator()(const Identity& id) const { return std::hash<uint64_t>()(id.ino * 31 + static_cast<uint64_t>(id.birth_ns)); }
};

// Every entry below the folder `dir` (its path `prefix`), each folder before what it holds, nothing
// followed. A mount point (another file system, or a mount of this one) is noted in `mounts` and not
// entered; a folder that cannot be read is noted in `unread` (an entry that vanishes meanwhile is
// simply not there).
void ListTree(int dir, const std::string& prefix, uint64_t root_dev, std::vector<Found>& found,
              std::vector<std::string>& mounts, std::string& unread) {
  std::vector<std::string> names;
  {
    const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (d == nullptr) {
      if (fd >= 0) ::close(fd);
      if (unread.empty()) unread = (prefix.empty() ? std::string(".") : prefix) + ": " + Errno(errno);
      return;
    }
    while (const dirent* e = ::readdir(d)) {
      const std::string_view name(e->d_name);
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(d);
  }
  for (const std::string& name : names) {
    struct statx sx;
    if (!StatAt(dir, name.c_str(), sx)) continue;
    const std::string rel = prefix + name;
    if (OtherMount(sx, root_dev)) {
      mounts.push_back(rel);
      continue;
    }
    found.push_back(Found{EntryOf(rel, sx), ChangeNs(sx)});
    if (!S_ISDIR(sx.stx_mode)) continue;
    UniqueFd sub(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.get() < 0) {
      if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP && unread.empty()) unread = rel + ": " + Errno(errno);
      continue;
    }
    struct statx again;  // still the folder just listed, not one put in its place
    if (!StatAt(sub.get(), "", again) || again.stx_ino != sx.stx_ino || OtherMount(again, root_dev)) continue;
    ListTree(sub.get(), rel + "/", root_dev, found, mounts, unread);
  }
}

[[noreturn]] void FailMountPoint(const std::string& folder, const std::string& rel) {
  throw RuntimeError("the working folder " + Printable(folder) + " holds a mount point, " + Printable(rel) +
                     ": a scoring run never reads, writes or removes anything in another file system; unmount it "
                     "or choose another working folder");
}

// The folder a run began in is not the one at its path when the run ends: what stands there now
// was never looked at, and its content could be graded with the next answer.
[[noreturn]] void FailReplaced(const std::string& folder) {
  throw RuntimeError("the working folder " + Printable(folder) +
                     " was removed or replaced during the scoring run; what stands there now could be graded with "
                     "the next answer");
}

[[noreturn]] void FailUnread(const std::string& folder, const std::string& why) {
  throw RuntimeError("cannot look into the working folder " + Printable(folder) + ", " + Printable(why) +
                     "; what a scoring run left there could be graded with the next answer");
}

class PosixRunFootprints final : public RunFootprints {
 public:
  struct PosixStart final : Start {
    bool active = false;
    FolderKey key;
    std::unordered_map<Identity, Found, IdentityHash> before;  // by identity, the first name listed
    std::unordered_set<std::string> names;                      // every name with its identity
  };

  // A name and the identity under it, as a key: a file may have more than one name.
  static std::string NameKey(const Created& c) {
    return c.path + '\0' + std::to_string(c.ino) + ':' + std::to_string(c.birth_ns);
  }

  std::unique_ptr<Start> Begin(const std::string& folder, const std::string& staged) override {
    auto start = std::make_unique<PosixStart>();
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    FolderKey key;
    if (fd.get() < 0 || !KeyOf(fd.get(), key)) return start;  // the extraction says what is wrong

    // The regular files stay for the extraction, which writes them over in place or removes them,
    // and so do the folders that hold them; everything else of the footprint goes now. What stands
    // at the archive's name is cleared for it unless it is a file, which is written over in place.
    std::vector<Created> previous = CreatedLedger::Instance().Take(key);
    const std::string inside_staged = staged + "/";
    const auto stays = [&](const Created& c) { return c.file && c.path.rfind(inside_staged, 0) != 0; };
    std::unordered_set<std::string> holders;
    for (const Created& c : previous) {
      if (!stays(c)) continue;
      for (size_t slash = c.path.find('/'); slash != std::string::npos; slash = c.path.find('/', slash + 1)) {
        holders.insert(c.path.substr(0, slash));
      }
    }
    std::vector<Created> keep;
    std::vector<Created> drop;
    for (Created& c : previous) {
      (stays(c) || (c.folder && holders.count(c.path) != 0) ? keep : drop).push_back(std::move(c));
    }
    const struct stat no_archive {};
    const std::string stayed = RemoveCreated(fd.get(), key.dev, drop, no_archive);
    if (!stayed.empty()) {
      keep.insert(keep.end(), drop.begin(), drop.end());
      CreatedLedger::Instance().Keep(key, std::move(keep));
      throw RuntimeError("cannot remove what the previous scoring run left in " + Printable(folder) + ", " +
                         Printable(stayed) + "; it could be graded with the next answer");
    }

    // The footprint's files kept for the extraction are not the folder's own, by name: a name the
    // last run gave to a file of the host's goes, the file's own name stays.
    std::unordered_set<std::string> ours;
    for (const Created& c : keep) ours.insert(NameKey(c));
    CreatedLedger::Instance().Keep(key, std::move(keep));
    std::vector<Found> found;
    std::vector<std::string> mounts;
    std::string unread;
    ListTree(fd.get(), "", key.dev, found, mounts, unread);
    if (!mounts.empty()) FailMountPoint(folder, mounts.front());
    if (!unread.empty()) FailUnread(folder, unread);
    for (Found& f : found) {
      std::string name = NameKey(f.entry);
      if (ours.count(name) != 0) continue;
      start->names.insert(std::move(name));
      start->before.emplace(Identity{f.entry.ino, f.entry.birth_ns}, std::move(f));
    }
    start->key = key;
    start->active = true;
    return start;
  }

  std::vector<std::string> End(const std::string& folder, const Start& s) override {
    const auto* start = dynamic_cast<const PosixStart*>(&s);
    if (start == nullptr || !start->active) return {};
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    FolderKey key;
    if (fd.get() < 0 || !KeyOf(fd.get(), key) || !(key == start->key)) FailReplaced(folder);
    std::vector<Found> found;
    std::vector<std::string> mounts;
    std::string unread;
    ListTree(fd.get(), "", key.dev, found, mounts, unread);
    std::vector<Created> footprint;
    std::vector<std::string> changed;
    // The entries that were there and are still under their own names: another name of one of them
    // is a hard link the run made, and that name is its footprint (the file keeps its own name).
    std::unordered_set<Identity, IdentityHash> in_place;
    for (const Found& f : found) {
      if (start->names.count(NameKey(f.entry)) != 0) in_place.insert(Identity{f.entry.ino, f.entry.birth_ns});
    }
    std::unordered_set<Identity, IdentityHash> seen;
    for (Found& f : found) {
      const Identity id{f.entry.ino, f.entry.birth_ns};
      const auto it = start->before.find(id);
      if (it == start->before.end() ||
          (!f.entry.folder && start->names.count(NameKey(f.entry)) == 0 && in_place.count(id) != 0)) {
        footprint.push_back(std::move(f.entry));
        continue;
      }
      seen.insert(id);
      // A folder changes whenever something is made in it; only what is in it counts.
      if (!f.entry.folder && (f.change_ns != it->second.change_ns || start->names.count(NameKey(f.entry)) == 0)) {
        changed.push_back(f.entry.path);
      }
    }
    for (const auto& [id, f] : start->before) {
      if (!f.entry.folder && seen.count(id) == 0) changed.push_back(f.entry.path);
    }
    std::sort(changed.begin(), changed.end());
    CreatedLedger::Instance().Keep(key, std::move(footprint));
    if (!mounts.empty()) FailMountPoint(folder, mounts.front());
    if (!unread.empty()) FailUnread(folder, unread);
    return changed;
  }

  std::string Clear(const std::string& folder) override {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    FolderKey key;
    if (fd.get() < 0 || !KeyOf(fd.get(), key)) return {};
    std::vector<Created> footprint = CreatedLedger::Instance().Take(key);
    const struct stat no_archive {};
    return RemoveCreated(fd.get(), key.dev, footprint, no_archive);
  }

  void RequireNoMountPoint(const std::string& folder) override {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    FolderKey key;
    if (fd.get() < 0 || !KeyOf(fd.get(), key)) return;
    std::vector<Found> found;
    std::vector<std::string> mounts;
    std::string unread;
    ListTree(fd.get(), "", key.dev, found, mounts, unread);
    if (!mounts.empty()) FailMountPoint(folder, mounts.front());
  }
};

// The members by dispatch id are the shared ones (archive_control_base.h); this control supplies
// the extraction.
class LibarchiveControl final : public ArchiveControlBase {
 protected:
  void Unzip(const std::string& archive_path, const std::string& folder, const Limits& limits,
             StopFlag* stop) override {
    Extract(archive_path, folder, limits, stop);
  }
};

LibarchiveControl& ThreadControl() {
  thread_local LibarchiveControl control;
  return control;
}

}  // namespace

DispatchObject& SystemArchiveControl() {
  LibarchiveControl& control = ThreadControl();
  control.Configure(Limits{}, nullptr);
  return control;
}

RunFootprints& SystemRunFootprints() {
  static PosixRunFootprints footprints;
  return footprints;
}

DispatchObject& SystemArchiveControl(const Limits& limits, StopFlag* stop) {
  LibarchiveControl& control = ThreadControl();
  control.Configure(limits, stop);
  return control;
}

}  // namespace vardenix
