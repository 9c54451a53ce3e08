// The archive control on Windows, on libarchive: the same dispatch ids, answers and refusals as the
// Linux control (archive/archive_control.h), with the rules of Windows file names on top.
//
// An extraction is two passes. The survey, the one both platforms share (archive/archive_policy.h),
// reads the raw directory and refuses the whole archive before anything is written; every entry's
// data is judged alike too (it must expand to exactly its declared size; the bound on what one
// extraction writes). The writing pass reads the entries through libarchive in the plan's order
// (archive/libarchive_entries.h), creates folders and streams each file into a temporary file
// beside its destination, then moves it into place, so a failing entry never leaves a partial file
// or destroys the earlier file of that name.
//
// Windows specifics: names compare without regard to case (as NTFS does), so two entries that
// differ only in case are duplicates; the survey applies the rules of Windows names
// (NameRules::kWindows: device names, a trailing dot or space, < > : " | ? * and control
// characters are unsafe names); paths
// are given to the system in their long (\\?\) form, so deep answers are not cut at 260 characters.
// A link or junction in the way of a folder or a file is removed (the link, never what it points
// to) and replaced by what the archive holds. A failed or stopped extraction removes what it had
// written.
//
// Before an extraction, what the previous extraction into the same folder wrote is removed, as on
// Linux: a file only while it is still the file written then (same file index, not rewritten since)
// and not the archive about to be extracted, a folder only when it is empty, a link at one of those
// names as a link; nothing is removed through a link or junction. When something that must go
// cannot be removed, the extraction is refused (cannot write), so no answer is graded on another's
// files.
//
// A scoring run goes further (SystemRunFootprints, at the end of this file): everything that was
// not in the working folder when the run began is its footprint, whoever made it and whatever was
// done to it since, and it is removed before the next run's extraction.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive/archive_control.h"
#include "archive/archive_control_base.h"
#include "archive/archive_policy.h"
#include "archive/extraction_ledger.h"
#include "archive/libarchive_entries.h"
#include "platform/limits.h"
#include "vardenix/error.h"
#include "windows/platform/wide_text.h"

namespace vardenix {
namespace {

namespace ar = archive_result;
using namespace archive_policy;  // the judgement both platforms share

// The temporary file beside a destination while its data is written.
constexpr wchar_t kPartSuffix[] = L".vardenix-part";

// A key under which two names that Windows takes for one compare equal (NTFS compares names
// without regard to case).
std::string FoldedKey(const std::string& path) {
  std::wstring key = win::Widen(path);
  if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  return win::Narrow(key);
}

// A planned path ("/" separators) as Windows writes it.
std::string WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// What a file system object is: its volume and file index, its last write time and attributes.
struct Identity {
  bool found = false;
  DWORD volume = 0;
  uint64_t index = 0;
  int64_t written = 0;
  DWORD attributes = 0;
};

Identity IdentityOf(HANDLE handle) {
  Identity id;
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return id;
  const auto time = [](const FILETIME& t) { return (int64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  id.found = true;
  id.volume = info.dwVolumeSerialNumber;
  id.index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  id.written = time(info.ftLastWriteTime);
  id.attributes = info.dwFileAttributes;
  return id;
}

// The identity of the object at `path` itself: a link or junction is not followed.
Identity IdentityAt(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const Identity id = IdentityOf(h);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return id;
}

// One file or folder an extraction created, by its path below the target folder.
struct Created {
  std::wstring path;  // relative, "\\" separators
  uint64_t index = 0;
  int64_t written = 0;  // files only: a file rewritten since is not the extraction's any more
  bool folder = false;
};

// A folder's identity: its volume and file index. (Not its creation time: Wine derives that from
// times that change whenever the folder's content does.)
struct FolderKey {
  DWORD volume = 0;
  uint64_t index = 0;
  bool operator==(const FolderKey& o) const { return volume == o.volume && index == o.index; }
};

// What the last extraction into each folder created (archive/extraction_ledger.h).
using CreatedLedger = ExtractionLedger<FolderKey, Created>;

// Removes what an extraction created below `root` (a long-form path), newest first, by the rules in
// the comment at the top. Answers the path and reason of the first file or link that stayed because
// it could not be removed (empty when none did).
// `unchanged_only`: a file goes only while not rewritten since it was recorded (an extraction's own
// record); without it, while it is the same file (a run's footprint, whatever was done to it).
std::string RemoveCreated(const std::wstring& root, const std::vector<Created>& created, const Identity& archive,
                          bool unchanged_only = true) {
  std::string kept;
  const auto note = [&](const Created& c) {
    const DWORD err = GetLastError();
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND && kept.empty()) {
      kept = win::Narrow(c.path) + ": " + win::SystemMessage(err);
    }
  };
  for (auto it = created.rbegin(); it != created.rend(); ++it) {
    // Every folder on the way must still be a plain folder: nothing is reached through a link.
    bool reachable = true;
    for (size_t slash = it->path.find(L'\\'); slash != std::wstring::npos && reachable;
         slash = it->path.find(L'\\', slash + 1)) {
      const DWORD attrs = GetFileAttributesW((root + L'\\' + it->path.substr(0, slash)).c_str());
      reachable = attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) &&
                  !(attrs & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    if (!reachable) continue;
    const std::wstring full = root + L'\\' + it->path;
    const Identity now = IdentityAt(full);
    if (!now.found) continue;
    const bool is_folder = (now.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (now.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      if (!(is_folder ? RemoveDirectoryW(full.c_str()) : DeleteFileW(full.c_str()))) note(*it);
    } else if (it->folder) {
      if (is_folder && now.index == it->index) RemoveDirectoryW(full.c_str());  // kept when anything is inside
    } else if (!is_folder && now.index == it->index && (!unchanged_only || now.written == it->written) &&
               !(archive.found && now.volume == archive.volume && now.index == archive.index)) {
      if (now.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) {
        SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      }
      if (!DeleteFileW(full.c_str())) {
        note(*it);
        if (now.attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(full.c_str(), now.attributes);
      }
    }
  }
  return kept;
}

// The survey both platforms share, with the rules of Windows names and its case-blind comparison.
Plan SurveyArchive(int fd, const Limits& limits) { return Survey(fd, limits, NameRules::kWindows, &FoldedKey); }

// The long form of a folder path, so that names past 260 characters still work.
std::wstring LongPath(const std::string& folder) {
  const std::wstring in = win::Widen(folder);
  const DWORD n = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
  if (n == 0) return in;
  std::wstring full(n, L'\0');
  const DWORD got = GetFullPathNameW(in.c_str(), n, full.data(), nullptr);
  full.resize(got);
  if (full.rfind(L"\\\\?\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

class FolderWriter {
 public:
  FolderWriter(std::wstring root, const Limits& limits, const StopFlag* stop, std::vector<Created>& created)
      : root_(std::move(root)), limits_(limits), stop_(stop), created_(created) {
    if (!root_.empty() && root_.back() == L'\\') root_.pop_back();
  }

  // The folder at `rel` ("" for the root), created with its parents where missing. A link or a file
  // in the way is removed and replaced by a folder.
  std::wstring Folder(const std::string& rel) {
    std::wstring path = root_;
    const std::wstring wrel = win::Widen(rel);
    size_t start = 0;
    while (start < wrel.size()) {
      size_t end = wrel.find(L'\\', start);
      if (end == std::wstring::npos) end = wrel.size();
      path += L'\\';
      path.append(wrel, start, end - start);
      start = end + 1;
      MakeFolder(path, rel);
    }
    return path;
  }

  // Streams the current entry's data into `rel` (judged by EntryData as it is written), replacing
  // whatever file was there.
  void WriteFile(BlockSource& source, const std::string& rel, uint64_t declared_size, uint64_t& total_written) {
    const size_t cut = rel.rfind('\\');
    const std::wstring folder = Folder(cut == std::string::npos ? std::string() : rel.substr(0, cut));
    const std::wstring target = folder + L'\\' + win::Widen(cut == std::string::npos ? rel : rel.substr(cut + 1));
    const std::wstring part = target + kPartSuffix;
    SetFileAttributesW(part.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(part.c_str());
    HANDLE out = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (out == INVALID_HANDLE_VALUE) CannotWrite(rel, GetLastError());
    uint64_t written = 0;
    try {
      EntryData judged(limits_, rel, declared_size, total_written);
      for (;;) {
        if (stop_ && stop_->load()) RefuseStopped();
        const void* block = nullptr;
        size_t size = 0;
        uint64_t offset = 0;
        if (!source.Next(rel, block, size, offset)) break;
        judged.Block(offset, size, source.Consumed());
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(out, at, nullptr, FILE_BEGIN)) CannotWrite(rel, GetLastError());
        const auto* bytes = static_cast<const uint8_t*>(block);
        while (size > 0) {
          DWORD done = 0;
          const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 24));
          if (!::WriteFile(out, bytes, chunk, &done, nullptr) || done == 0) CannotWrite(rel, GetLastError());
          bytes += done;
          size -= done;
          written = std::max<uint64_t>(written, static_cast<uint64_t>(at.QuadPart) + done);
          at.QuadPart += done;
        }
      }
      judged.End();
      if (written < declared_size) {
        // A sparse tail reads as zeros.
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(declared_size);
        if (!SetFilePointerEx(out, end, nullptr, FILE_BEGIN) || !SetEndOfFile(out)) CannotWrite(rel, GetLastError());
      }
      if (!CloseHandle(out)) {
        out = INVALID_HANDLE_VALUE;
        CannotWrite(rel, GetLastError());
      }
      out = INVALID_HANDLE_VALUE;
      ClearWay(target, rel, /*for_folder=*/false);
      if (!MoveFileExW(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) CannotWrite(rel, GetLastError());
      Note(target, false);
    } catch (...) {
      if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
      DeleteFileW(part.c_str());
      throw;
    }
  }

 private:
  [[noreturn]] static void CannotWrite(const std::string& rel, DWORD err) {
    Refuse(ar::kCannotWrite, "cannot write " + Quoted(rel) + ": " + win::SystemMessage(err));
  }

  // Removes a link at `path`, a file where a folder must go, and makes an earlier file writable.
  static void ClearWay(const std::wstring& path, const std::string& rel, bool for_folder) {
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return;
    const bool is_folder = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!(is_folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str()))) CannotWrite(rel, GetLastError());
      return;
    }
    if (for_folder && !is_folder) {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(path.c_str())) CannotWrite(rel, GetLastError());
      return;
    }
    if (!for_folder && is_folder) Refuse(ar::kCannotWrite, "cannot write " + Quoted(rel) + ": a folder of that name is in the way");
    if (!for_folder && (attrs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
      if (!SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL)) CannotWrite(rel, GetLastError());
    }
  }

  void MakeFolder(const std::wstring& path, const std::string& rel) {
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) && !(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
      return;
    }
    ClearWay(path, rel, /*for_folder=*/true);
    if (CreateDirectoryW(path.c_str(), nullptr)) {
      Note(path, true);
    } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
      CannotWrite(rel, GetLastError());
    }
  }

  // Records a file or folder this extraction made, for its removal later.
  void Note(const std::wstring& path, bool folder) {
    const Identity id = IdentityAt(path);
    created_.push_back(Created{path.substr(root_.size() + 1), id.index, id.written, folder});
  }

  std::wstring root_;
  const Limits& limits_;
  const StopFlag* stop_;
  std::vector<Created>& created_;
};

// The writing pass: libarchive reads the entries in the plan's order, and each must be the entry the
// survey judged.
void WriteEntries(int fd, const std::string& path, const std::wstring& root, const Plan& plan, const Limits& limits,
                  const StopFlag* stop, std::vector<Created>& created) {
  // An archive of no entries has nothing to read (libarchive does not take one whose end record
  // is all there is).
  if (plan.entries.empty()) return;
  ArchiveView view(fd, plan.end_record);
  Reader a = OpenReader(view, path);
  FolderWriter writer(root, limits, stop, created);
  archive_entry* entry = nullptr;
  uint64_t total_written = 0;
  size_t index = 0;
  while (NextHeader(a.get(), entry)) {
    if (stop && stop->load()) RefuseStopped();
    if (index >= plan.entries.size()) Refuse(ar::kCorruptData, "the archive changed while it was being extracted");
    const PlannedEntry& planned = plan.entries[index++];
    CheckHeader(entry, planned);
    // The survey's judgement of folder or file stands, as it does on Linux.
    if (planned.is_folder) {
      writer.Folder(WindowsPath(planned.path));
    } else {
      LibarchiveBlocks source(a.get());
      writer.WriteFile(source, WindowsPath(planned.path), planned.uncompressed_size, total_written);
    }
  }
  if (index != plan.entries.size()) Refuse(ar::kCorruptData, "the archive changed while it was being extracted");
  if (archive_read_has_encrypted_entries(a.get()) > 0) Refuse(ar::kEncrypted, "the archive has encrypted entries");
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) _close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void Extract(const std::string& archive_path, const std::string& target, const Limits& limits,
             const StopFlag* stop) {
  const DWORD attrs = target.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(win::Widen(target).c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
    Refuse(ar::kNoTargetFolder, "the target folder " + Quoted(target) + " does not exist");
  }
  std::wstring root = LongPath(target);
  while (!root.empty() && root.back() == L'\\') root.pop_back();
  // A drive's root keeps its backslash ("\\?\C:" alone names the volume, not its root folder).
  const Identity folder = IdentityAt(!root.empty() && root.back() == L':' ? root + L'\\' : root);
  if (!folder.found) Refuse(ar::kCannotWrite, "cannot open the target folder " + Quoted(target));
  const FolderKey key{folder.volume, folder.index};

  Descriptor file(_wopen(win::Widen(archive_path).c_str(), _O_RDONLY | _O_BINARY));
  const int open_errno = errno;
  const Identity archive =
      file.get() >= 0 ? IdentityOf(reinterpret_cast<HANDLE>(_get_osfhandle(file.get()))) : Identity{};

  // What the previous extraction into this folder created goes first, whatever this archive holds:
  // nothing another answer left may make this one pass.
  std::vector<Created> previous = CreatedLedger::Instance().Take(key);
  const std::string kept = RemoveCreated(root, previous, archive);
  if (!kept.empty()) {
    CreatedLedger::Instance().Keep(key, std::move(previous));  // the next extraction tries again
    Refuse(ar::kCannotWrite, "cannot remove what the previous extraction wrote, " + kept +
                                 "; it could be graded with this answer");
  }

  if (file.get() < 0) Refuse(ar::kCannotOpen, "cannot open " + Quoted(archive_path) + ": " + std::strerror(open_errno));
  struct _stat64 st;
  if (_fstat64(file.get(), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    Refuse(ar::kCannotOpen, Quoted(archive_path) + " is not a regular file");
  }
  const Plan plan = SurveyArchive(file.get(), limits);
  std::vector<Created> created;
  try {
    WriteEntries(file.get(), archive_path, root, plan, limits, stop, created);
  } catch (...) {
    // No half answer: what this extraction wrote before it failed is removed again.
    if (!RemoveCreated(root, created, archive).empty()) {
      CreatedLedger::Instance().Keep(key, std::move(created));  // what stayed is removed next time
    }
    throw;
  }
  CreatedLedger::Instance().Keep(key, std::move(created));
}

// The members by dispatch id are the shared ones (archive/archive_control_base.h); this control
// supplies the Windows extraction.
class WindowsArchiveControl final : public ArchiveControlBase {
 protected:
  void Unzip(const std::string& archive_path, const std::string& folder, const Limits& limits,
             StopFlag* stop) override {
    Extract(archive_path, folder, limits, stop);
  }
};

// One control per thread, as on Linux: two check objects on two threads never share the
// properties that one put/put/put/put/call sequence sets.
WindowsArchiveControl& ThreadControl() {
  thread_local WindowsArchiveControl control;
  return control;
}

// The long form of a working folder and its key; false when it cannot be opened.
bool OpenFolder(const std::string& folder, std::wstring& root, FolderKey& key) {
  root = LongPath(folder);
  while (!root.empty() && root.back() == L'\\') root.pop_back();
  const Identity id = IdentityAt(!root.empty() && root.back() == L':' ? root + L'\\' : root);
  if (!id.found || !(id.attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  key = FolderKey{id.volume, id.index};
  return true;
}

// Every entry below `root` (`rel` is the folder being listed, "" for the root itself), each folder
// before what it holds. A link or junction (any reparse point, a volume's mount point included) is an
// entry of its own and is never entered. The first folder that cannot be listed is noted in `unread`.
void ListTree(const std::wstring& root, const std::wstring& rel, std::vector<Created>& found, std::string& unread) {
  WIN32_FIND_DATAW data;
  const std::wstring pattern = root + L'\\' + (rel.empty() ? std::wstring() : rel + L'\\') + L'*';
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND && unread.empty()) {
      unread = (rel.empty() ? std::string(".") : win::Narrow(rel)) + ": " + win::SystemMessage(err);
    }
    return;
  }
  std::vector<std::wstring> names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  for (const std::wstring& name : names) {
    const std::wstring path = rel.empty() ? name : rel + L'\\' + name;
    const Identity id = IdentityAt(root + L'\\' + path);
    if (!id.found) continue;  // gone meanwhile
    const bool folder = (id.attributes & FILE_ATTRIBUTE_DIRECTORY) && !(id.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    found.push_back(Created{path, id.index, id.written, folder});
    if (folder) ListTree(root, path, found, unread);
  }
}

[[noreturn]] void FailUnread(const std::string& folder, const std::string& why) {
  throw RuntimeError("cannot look into the working folder " + Quoted(folder) + ", " + why +
                     "; what a scoring run left there could be graded with the next answer");
}

// The footprints of scoring runs, by file index as on Linux by inode: the record is the one the
// extractions keep (CreatedLedger), so that an extraction's own record is the footprint of a run
// that is an extraction alone. A footprint's file goes while it is the same file, whatever was
// written to it; links and junctions go as links. Nothing is entered through a reparse point, so
// nothing on another volume mounted under the folder is ever touched.
class WindowsRunFootprints final : public RunFootprints {
 public:
  struct WindowsStart final : Start {
    bool active = false;
    FolderKey key;
    std::unordered_map<uint64_t, Created> before;  // by file index, the first name listed
    std::unordered_set<std::wstring> names;        // every name with its file index
  };

  // A name and the file index under it, as a key: a file may have more than one name.
  static std::wstring NameKey(const Created& c) { return c.path + L'\0' + std::to_wstring(c.index); }

  std::unique_ptr<Start> Begin(const std::string& folder, const std::string& /*staged*/) override {
    auto start = std::make_unique<WindowsStart>();
    std::wstring root;
    FolderKey key;
    if (!OpenFolder(folder, root, key)) return start;  // the extraction says what is wrong
    std::vector<Created> previous = CreatedLedger::Instance().Take(key);
    const std::string stayed = RemoveCreated(root, previous, Identity{}, false);
    if (!stayed.empty()) {
      CreatedLedger::Instance().Keep(key, std::move(previous));
      throw RuntimeError("cannot remove what the previous scoring run left in " + Quoted(folder) + ", " + stayed +
                         "; it could be graded with the next answer");
    }
    std::vector<Created> found;
    std::string unread;
    ListTree(root, L"", found, unread);
    if (!unread.empty()) FailUnread(folder, unread);
    for (Created& c : found) {
      start->names.insert(NameKey(c));
      start->before.emplace(c.index, std::move(c));
    }
    start->key = key;
    start->active = true;
    return start;
  }

  std::vector<std::string> End(const std::string& folder, const Start& s) override {
    const auto* start = dynamic_cast<const WindowsStart*>(&s);
    if (start == nullptr || !start->active) return {};
    std::wstring root;
    FolderKey key;
    if (!OpenFolder(folder, root, key) || !(key == start->key)) {
      throw RuntimeError("the working folder " + Quoted(folder) +
                         " was removed or replaced during the scoring run; what stands there now could be graded "
                         "with the next answer");
    }
    std::vector<Created> found;
    std::string unread;
    ListTree(root, L"", found, unread);
    std::vector<Created> footprint;
    std::vector<std::string> changed;
    // The entries that were there and are still under their own names: another name of one of them
    // is a hard link the run made, and that name is its footprint (the file keeps its own name).
    std::unordered_set<uint64_t> in_place;
    for (const Created& c : found) {
      if (start->names.count(NameKey(c)) != 0) in_place.insert(c.index);
    }
    std::unordered_set<uint64_t> seen;
    for (Created& c : found) {
      const auto it = start->before.find(c.index);
      if (it == start->before.end() || (!c.folder && start->names.count(NameKey(c)) == 0 && in_place.count(c.index) != 0)) {
        footprint.push_back(std::move(c));
        continue;
      }
      seen.insert(c.index);
      // A folder changes whenever something is made in it; only what is in it counts.
      if (!c.folder && (c.written != it->second.written || start->names.count(NameKey(c)) == 0)) {
        changed.push_back(win::Narrow(c.path));
      }
    }
    for (const auto& [index, c] : start->before) {
      if (!c.folder && seen.count(index) == 0) changed.push_back(win::Narrow(c.path));
    }
    std::sort(changed.begin(), changed.end());
    CreatedLedger::Instance().Keep(key, std::move(footprint));
    if (!unread.empty()) FailUnread(folder, unread);
    return changed;
  }

  std::string Clear(const std::string& folder) override {
    std::wstring root;
    FolderKey key;
    if (!OpenFolder(folder, root, key)) return {};
    return RemoveCreated(root, CreatedLedger::Instance().Take(key), Identity{}, false);
  }

  // Nothing mounted under the folder is ever entered (see ListTree).
  void RequireNoMountPoint(const std::string& /*folder*/) override {}
};

}  // namespace

RunFootprints& SystemRunFootprints() {
  static WindowsRunFootprints footprints;
  return footprints;
}

DispatchObject& SystemArchiveControl() { return SystemArchiveControl(Limits{}, nullptr); }

DispatchObject& SystemArchiveControl(const Limits& limits, StopFlag* stop) {
  WindowsArchiveControl& control = ThreadControl();
  control.Configure(limits, stop);
  return control;
}

}  // namespace vardenix
