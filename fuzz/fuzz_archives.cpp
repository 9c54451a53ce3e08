// Hostile zip archives through the real archive control. Each input is staged as "ChkPing.ZIP" in a
// fresh working folder, beside two symlinks a host folder might hold ("linked" to a folder outside,
// "linked.txt" to a file outside), inside a parent that holds canary files. After the call:
//  - nothing outside the working folder changed (names, types, modes, sizes and contents of the
//    parent's tree, the targets of the planted symlinks included);
//  - the working folder holds only files and folders with the fixed modes, no symlink but the two
//    planted ones with their old targets, and no leftover temporary file;
//  - a refused archive left nothing of itself (names and duplicates refused before writing; what
//    fails later has what it wrote removed again);
//  - the answer is a known code, with a failure reason exactly when it is not 0;
//  - a successful extraction wrote what the archive holds, read independently through libarchive's
//    seekable reader (shown the archive up to the end record the control chose): one file for each regular entry with the entry's bytes, at the entry's name (compared
//    where the stored name is ASCII; other names are decoded by the control's own rules).
// The parent lives for the whole process (in /dev/shm unless TMPDIR says otherwise); the working
// folder is removed after each input.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include <algorithm>
#include <vector>

#include "archive/archive_control.h"
#include "archive/zip_directory.h"
#include "platform/limits.h"
#include "tests/support/fakes/zip_writer.h"
#include "vardenix/error.h"

namespace {

using vardenix::Variant;
namespace dispid = vardenix::archive_dispid;
namespace result = vardenix::archive_result;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_archives: %s\n", what.c_str());
  std::abort();
}

std::string ReadAll(const std::string& path) {
  std::string text;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) Fail("cannot read " + path);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  std::fclose(f);
  return text;
}

void WriteAll(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("cannot write " + path);
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) Fail("cannot write " + path);
    data += n;
    size -= static_cast<size_t>(n);
  }
  ::fchmod(fd, 0644);
  ::close(fd);
}

// Each path below `root` (relative) with what it is: a folder, a file with its mode and content, or a
// symlink with its target. `skip` names a first-level entry left out with everything in it.
using Tree = std::map<std::string, std::string>;

void Walk(const std::string& root, const std::string& rel, const std::string& skip, Tree& tree) {
  const std::string folder = rel.empty() ? root : root + "/" + rel;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) Fail("cannot list " + folder);
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (rel.empty() && name == skip) continue;
    const std::string child = rel.empty() ? name : rel + "/" + name;
    const std::string path = root + "/" + child;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) Fail("cannot stat " + path);
    const std::string mode = std::to_string(st.st_mode & 07777);
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
      tree[child] = "link " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      tree[child] = "folder " + mode;
      Walk(root, child, skip, tree);
    } else if (S_ISREG(st.st_mode)) {
      tree[child] = "file " + mode + " " + std::to_string(st.st_size) + " " + ReadAll(path);
    } else {
      tree[child] = "other " + std::to_string(st.st_mode);
    }
  }
  ::closedir(dir);
}

Tree Snapshot(const std::string& root, const std::string& skip = {}) {
  Tree tree;
  Walk(root, "", skip, tree);
  return tree;
}

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void RemoveTree(const std::string& path) {
  if (::nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS) != 0) Fail("cannot remove " + path);
}

struct Sandbox {
  std::string parent;
  std::string work;
  std::string zip;
  Tree outside;  // the parent's tree without the working folder, as it must stay

  Sandbox() {
    // Memory-backed when it can be: on a disk, creating and removing the folders costs more than
    // the extraction itself.
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/vardenix-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) Fail("mkdtemp failed");
    parent = pattern;
    work = parent + "/work";
    zip = work + "/ChkPing.ZIP";
    const std::string text = "canary";
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    WriteAll(parent + "/canary.txt", bytes, text.size());
    ::mkdir((parent + "/outside").c_str(), 0755);
    ::mkdir((parent + "/outside/inner").c_str(), 0755);
    WriteAll(parent + "/outside/canary.txt", bytes, text.size());
    WriteAll(parent + "/outside/inner/x", bytes, text.size());
    ::symlink("outside", (parent + "/outside-link").c_str());
    outside = Snapshot(parent, "work");
  }

  ~Sandbox() { RemoveTree(parent); }

  // The working folder as the input finds it.
  void Stage(const uint8_t* data, size_t size) const {
    if (::mkdir(work.c_str(), 0755) != 0) Fail("cannot create " + work);
    ::chmod(work.c_str(), 0755);
    WriteAll(zip, data, size);
    if (::symlink("../outside", (work + "/linked").c_str()) != 0 ||
        ::symlink("../canary.txt", (work + "/linked.txt").c_str()) != 0) {
      Fail("cannot plant the symlinks");
    }
  }
};

bool IsTemporary(const std::string& rel) {
  const std::string leaf = rel.substr(rel.rfind('/') + 1);
  return leaf.rfind(".vardenix-", 0) == 0 && leaf.size() > 5 && leaf.compare(leaf.size() - 5, 5, ".part") == 0;
}

void CheckWorkFolder(const Tree& before, const Tree& after, int16_t code) {
  for (const auto& [rel, what] : after) {
    if (what.rfind("link ", 0) == 0) {
      const auto planted = before.find(rel);
      if (planted == before.end() || planted->second != what) Fail("a symlink inside the folder: " + rel + " " + what);
    } else if (what.rfind("other ", 0) == 0) {
      Fail("something other than a file or folder: " + rel);
    } else if (IsTemporary(rel)) {
      Fail("a temporary file was left: " + rel);
    } else if (what.rfind("folder ", 0) == 0 && what != "folder 493") {  // 0755
      Fail("a folder not made with mode 0755: " + rel);
    } else if (what.rfind("file ", 0) == 0 && what.rfind("file 420 ", 0) != 0) {  // 0644
      Fail("a file not written with mode 0644: " + rel);
    }
  }
  // A refused archive leaves nothing of itself: names and duplicates are refused before anything is
  // written; what fails later has what it wrote removed again (a link or file an entry replaced
  // before the failure stays replaced, so only "nothing new" can be asked there).
  if (code == result::kUnsafeName || code == result::kDuplicateName) {
    if (after != before) Fail("an archive refused for its names (" + std::to_string(code) + ") wrote files");
  } else if (code != result::kSuccess) {
    for (const auto& [rel, what] : after) {
      const auto old = before.find(rel);
      if (old == before.end() || old->second != what) Fail("a refused archive (" + std::to_string(code) + ") left " + rel);
    }
  }
}

// Compares what a successful extraction wrote (the files that were not there before, as they were)
// with the archive's regular entries.
void CheckAgainstLibarchive(const std::string& zip_copy, const Tree& before, const Tree& after, bool compare_names) {
  std::map<std::string, std::string> written;
  for (const auto& [rel, what] : after) {
    const auto old = before.find(rel);
    if (what.rfind("file ", 0) != 0 || (old != before.end() && old->second == what)) continue;
    const size_t size_end = what.find(' ', 9);  // "file 420 SIZE CONTENT"
    written[rel] = what.substr(size_end + 1);
  }
  std::vector<vardenix::fakes::ZipFile> files;
  try {
    files = vardenix::fakes::ReadZipFiles(zip_copy);
  } catch (const std::exception& e) {
    Fail(std::string("libarchive cannot read an archive the control extracted: ") + e.what());
  }
  std::vector<std::string> expected_bytes, written_bytes;
  for (const vardenix::fakes::ZipFile& f : files) {
    expected_bytes.push_back(f.bytes);
    if (compare_names && !f.name.empty()) {
      const auto it = written.find(f.name);
      if (it == written.end()) Fail("entry " + f.name + " was not written");
      if (it->second != f.bytes) Fail("entry " + f.name + " was written with other bytes");
    }
  }
  for (const auto& [rel, bytes] : written) written_bytes.push_back(bytes);
  std::sort(expected_bytes.begin(), expected_bytes.end());
  std::sort(written_bytes.begin(), written_bytes.end());
  if (expected_bytes != written_bytes) Fail("the files written are not the archive's entries");
}

// Names from the Info-ZIP Unicode Path field are the control's own decoding; only the bytes compare.
bool HasUnicodePathField(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const vardenix::zip::Directory dir = vardenix::zip::ReadDirectory(fd, UINT64_MAX, UINT64_MAX);
  ::close(fd);
  for (const vardenix::zip::RawEntry& e : dir.entries) {
    for (const std::string* extra : {&e.local_extra, &e.central_extra}) {
      for (size_t pos = 0; pos + 4 <= extra->size();) {
        const auto* p = reinterpret_cast<const uint8_t*>(extra->data()) + pos;
        if ((p[0] | (p[1] << 8)) == 0x7075) return true;
        pos += 4 + (p[2] | (p[3] << 8));
      }
    }
  }
  return false;
}

bool ReadDirectoryIsEmpty(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const vardenix::zip::Directory dir = vardenix::zip::ReadDirectory(fd, UINT64_MAX, UINT64_MAX);
  ::close(fd);
  return dir.status == vardenix::zip::DirectoryStatus::kOk && dir.entries.empty();
}

// The answer and what it wrote, with the control set to read every archive through libarchive.
std::pair<int16_t, Tree> ThroughLibarchiveOnly(const Sandbox& sandbox, const uint8_t* data, size_t size) {
  RemoveTree(sandbox.work);
  sandbox.Stage(data, size);
  vardenix::Limits limits;
  limits.archive_in_memory_bytes = 0;
  vardenix::DispatchObject& control = vardenix::SystemArchiveControl(limits, nullptr);
  control.Put(dispid::kZipFilename, Variant::Text(sandbox.zip));
  control.Put(dispid::kUnzipToFolder, Variant::Text(sandbox.work));
  const int16_t code = vardenix::ToInt16(control.Call(dispid::kUnzip, {Variant::I2(0)}));
  vardenix::SystemArchiveControl();
  return {code, Snapshot(sandbox.work)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sandbox* sandbox = new Sandbox;  // removed at exit
  static const int cleanup = std::atexit([] { delete sandbox; });
  (void)cleanup;

  sandbox->Stage(data, size);
  const Tree before = Snapshot(sandbox->work);

  vardenix::DispatchObject& control = vardenix::SystemArchiveControl();
  control.Put(dispid::kZipFilename, Variant::Text(sandbox->zip));
  control.Put(dispid::kOption16, Variant::Bool(false));
  control.Put(dispid::kOption11, Variant::I2(2));
  control.Put(dispid::kUnzipToFolder, Variant::Text(sandbox->work));
  const int16_t code = vardenix::ToInt16(control.Call(dispid::kUnzip, {Variant::I2(0)}));
  const std::string reason = vardenix::ToText(control.Get(dispid::kLastFailureReason));

  if (code < result::kSuccess || code > result::kStopped) Fail("unknown answer " + std::to_string(code));
  if ((code == result::kSuccess) != reason.empty()) Fail("answer " + std::to_string(code) + " with reason '" + reason + "'");
  if (Snapshot(sandbox->parent, "work") != sandbox->outside) Fail("something outside the working folder changed");
  const Tree after = Snapshot(sandbox->work);
  CheckWorkFolder(before, after, code);
  if (code == result::kSuccess) {
    // The staged archive may have been replaced by an entry of that name: read a copy, cut where the
    // control's directory reader says the archive ends (padding after an end record can hide it
    // from libarchive's seekable reader, and the control shows libarchive the same cut).
    const std::string copy = sandbox->parent + "/input.zip";
    WriteAll(copy, data, size);
    {
      const int fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
      const vardenix::zip::Directory dir = vardenix::zip::ReadDirectory(fd, UINT64_MAX, UINT64_MAX);
      ::close(fd);
      if (dir.status != vardenix::zip::DirectoryStatus::kOk) Fail("an archive extracted whose directory does not read");
      // libarchive is shown the end record without its comment, as the control shows it.
      std::vector<uint8_t> cut(data, data + dir.end_record + 22);
      cut[cut.size() - 2] = cut[cut.size() - 1] = 0;
      WriteAll(copy, cut.data(), cut.size());
      if (dir.entries.empty() && after != before) Fail("an archive of no entries wrote files");
    }
    if (!ReadDirectoryIsEmpty(copy)) CheckAgainstLibarchive(copy, before, after, !HasUnicodePathField(copy));
    ::unlink(copy.c_str());
  }
  // One judgement whichever reader extracts the archive (the default line reads small ones in memory).
  const auto [streamed_code, streamed_tree] = ThroughLibarchiveOnly(*sandbox, data, size);
  if (streamed_code != code || streamed_tree != after) {
    Fail("the readers disagree: " + std::to_string(code) + " in memory or as chosen, " +
         std::to_string(streamed_code) + " through libarchive");
  }

  RemoveTree(sandbox->work);
  return 0;
}
