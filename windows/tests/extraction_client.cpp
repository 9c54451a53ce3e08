// The archive control of the Windows build under Wine, through the core linked in directly.
//
//   extraction_client.exe ledger FIXTURES   what one extraction wrote is gone before the next one,
//                                            through the control and through a two-question bank, and
//                                            so is whatever a scoring run left
//   extraction_client.exe hostile FOLDER    hostile archives are refused and write nothing
//   extraction_client.exe judged FOLDER CORPUS  archives are judged as on Linux: the rows of the Linux
//                                            readers' table this reader can meet, the corpus archives
//                                            of the zip writers users have, the bounds on what is
//                                            written, and the defaults of SystemArchiveControl()
//
// Each part prints a FAIL line per failed check and ends with "N passed, N failed". The archives are
// made here, stored or deflated, with exactly the names, sizes and attributes each case needs.
#include <windows.h>
#include <objbase.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive_control.h"
#include "windows/platform/wide_text.h"
#include "vardenix/envi_chk.h"

namespace {

using vardenix::DispatchObject;
using vardenix::Variant;
namespace ar = vardenix::archive_result;
namespace id = vardenix::archive_dispid;

int passed = 0;
int failed = 0;

void Check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

struct Entry {
  std::string name;  // raw bytes of the stored name
  std::string data;
  uint32_t unix_mode = 0;  // when set, the entry is marked as made on Unix with this mode
  int64_t declared = -1;   // the uncompressed size the headers declare; -1: the data's size
  bool deflate = false;    // stored as a raw deflate stream
};

// The data as a raw deflate stream (level 9).
std::string RawDeflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void Put16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>((v >> 8) & 0xff);
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xffff);
  Put16(out, v >> 16);
}

// A zip archive of the entries, names flagged as UTF-8, with `comment` at its end.
std::string Zip(const std::vector<Entry>& entries, const std::string& comment = "") {
  std::string out, central;
  for (const Entry& e : entries) {
    const uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()));
    const std::string stored = e.deflate ? RawDeflate(e.data) : e.data;
    const uint32_t declared = static_cast<uint32_t>(e.declared >= 0 ? e.declared : static_cast<int64_t>(e.data.size()));
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const auto header = [&](std::string& to, bool is_central) {
      Put32(to, is_central ? 0x02014b50 : 0x04034b50);
      if (is_central) Put16(to, e.unix_mode != 0 ? (3u << 8) | 20 : 20);
      Put16(to, 20);
      Put16(to, 0x800);
      Put16(to, e.deflate ? 8 : 0);
      Put16(to, 0);
      Put16(to, 0x21);
      Put32(to, crc);
      Put32(to, static_cast<uint32_t>(stored.size()));
      Put32(to, declared);
      Put16(to, static_cast<uint32_t>(e.name.size()));
      Put16(to, 0);
      if (is_central) {
        Put16(to, 0);
        Put16(to, 0);
        Put16(to, 0);
        Put32(to, e.unix_mode << 16);
        Put32(to, offset);
      }
      to += e.name;
    };
    header(out, false);
    out += stored;
    header(central, true);
  }
  const uint32_t at = static_cast<uint32_t>(out.size());
  out += central;
  Put32(out, 0x06054b50);
  Put32(out, 0);
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put32(out, static_cast<uint32_t>(central.size()));
  Put32(out, at);
  Put16(out, static_cast<uint32_t>(comment.size()));
  return out + comment;
}

std::wstring W(const std::string& utf8) { return vardenix::win::Widen(utf8); }

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(std::filesystem::path(W(path)), std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(std::filesystem::path(W(path)), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) { return GetFileAttributesW(W(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

// Every file and folder below `folder`, as relative paths, with the bytes of each file.
void Walk(const std::string& folder, const std::string& rel, std::set<std::string>& out) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(W(folder + "\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = vardenix::win::Narrow(found.cFileName);
    if (name == "." || name == "..") continue;
    const std::string path = rel.empty() ? name : rel + "\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out.insert(path + "\\");
      Walk(folder + "\\" + name, path, out);
    } else {
      out.insert(path + " = " + ReadBytes(folder + "\\" + name));
    }
  } while (FindNextFileW(h, &found));
  FindClose(h);
}

std::set<std::string> Tree(const std::string& folder) {
  std::set<std::string> out;
  Walk(folder, "", out);
  return out;
}

std::string Joined(const std::set<std::string>& tree) {
  std::string out;
  for (const std::string& s : tree) out += (out.empty() ? "" : ", ") + s;
  return "{" + out + "}";
}

// Removes a folder and everything below it (attributes reset first).
void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(W(folder + "\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = vardenix::win::Narrow(found.cFileName);
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      SetFileAttributesW(W(path).c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(path);
      } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(W(path).c_str());
      } else {
        DeleteFileW(W(path).c_str());
      }
    } while (FindNextFileW(h, &found));
    FindClose(h);
  }
  RemoveDirectoryW(W(folder).c_str());
}

// A fresh sandbox: ROOT\work is the target folder, ROOT\outside holds a file nothing may touch,
// ROOT\a.zip is the archive.
struct Sandbox {
  std::string root, work, zip;
  explicit Sandbox(const std::string& base) : root(base), work(base + "\\work"), zip(base + "\\a.zip") {
    RemoveTree(root);
    CreateDirectoryW(W(root).c_str(), nullptr);
    CreateDirectoryW(W(work).c_str(), nullptr);
    CreateDirectoryW(W(root + "\\outside").c_str(), nullptr);
    WriteBytes(root + "\\outside\\x.txt", "outside");
  }
  ~Sandbox() { RemoveTree(root); }
};

std::string last_failure;

// Extracts through `control` as the checks do: put, put, call, and the reason read back.
int16_t ExtractWith(DispatchObject& control, const std::string& zip, const std::string& folder) {
  control.Put(id::kZipFilename, Variant::Text(zip));
  control.Put(id::kUnzipToFolder, Variant::Text(folder));
  const int16_t code = vardenix::ToInt16(control.Call(id::kUnzip, {Variant::I2(0)}));
  last_failure = control.Get(id::kLastFailureReason).text();
  return code;
}

// Extracts through the thread's control with the default limits and no stop flag.
int16_t Extract(const std::string& zip, const std::string& folder) {
  return ExtractWith(vardenix::SystemArchiveControl(), zip, folder);
}

int16_t ExtractEntries(const Sandbox& box, const std::vector<Entry>& entries) {
  WriteBytes(box.zip, Zip(entries));
  return Extract(box.zip, box.work);
}

// Through the control: the second extraction into a folder first removes what the first wrote,
// except what the host put there or rewrote since; a file that cannot be removed refuses it.
void LedgerThroughTheControl(const std::string& base) {
  Sandbox box(base + "\\ledger");
  Check(ExtractEntries(box, {{"考生/a.txt", "q1"}, {"考生/sub/b.txt", "q1"}, {"only1/x.txt", "q1"},
                             {"empty1/", ""}, {"ro.txt", "q1"}, {"host-edits.txt", "q1"}}) == ar::kSuccess,
        "first extraction: " + last_failure);
  // The host adds a file inside an extracted folder, rewrites one extracted file and makes another
  // read-only.
  WriteBytes(box.work + "\\考生\\host.txt", "host");
  WriteBytes(box.work + "\\host-edits.txt", "edited by the host");
  // A rewrite within the file system clock's tick may keep the write time; this one is made to show.
  HANDLE edited = CreateFileW(W(box.work + "\\host-edits.txt").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const FILETIME later{0, 0x02000000};
  Check(edited != INVALID_HANDLE_VALUE && SetFileTime(edited, nullptr, nullptr, &later), "set a write time");
  CloseHandle(edited);
  SetFileAttributesW(W(box.work + "\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  WriteBytes(box.work + "\\earlier.txt", "the host's");

  Check(ExtractEntries(box, {{"考生/c.txt", "q2"}}) == ar::kSuccess, "second extraction: " + last_failure);
  const std::set<std::string> expected = {"earlier.txt = the host's", "host-edits.txt = edited by the host", "考生\\",
                                          "考生\\c.txt = q2", "考生\\host.txt = host"};
  Check(Tree(box.work) == expected, "after the second extraction the folder holds " + Joined(Tree(box.work)));

  // A file of the last answer that cannot be removed (held open without delete sharing) refuses the
  // next extraction; once it is free, the next one removes it.
  HANDLE held = CreateFileW(W(box.work + "\\考生\\c.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  Check(held != INVALID_HANDLE_VALUE, "open 考生\\c.txt");
  const int16_t code = ExtractEntries(box, {{"q3.txt", "q3"}});
  Check(code == ar::kCannotWrite && last_failure.find("cannot remove what the previous extraction wrote") == 0,
        "a held file of the last answer: code " + std::to_string(code) + ", " + last_failure);
  Check(!Exists(box.work + "\\q3.txt"), "nothing of the refused answer is written");
  CloseHandle(held);
  Check(ExtractEntries(box, {{"q4.txt", "q4"}}) == ar::kSuccess, "after the file is free: " + last_failure);
  Check(!Exists(box.work + "\\考生\\c.txt") && Exists(box.work + "\\q4.txt"),
        "the held file is removed once free: " + Joined(Tree(box.work)));

  // A refused archive still clears the folder of the last answer.
  Check(ExtractEntries(box, {{"../x", "x"}}) == ar::kUnsafeName, "a refused archive: " + last_failure);
  Check(!Exists(box.work + "\\q4.txt") && Exists(box.work + "\\earlier.txt"),
        "a refused archive clears the last answer only: " + Joined(Tree(box.work)));
  Check(ReadBytes(box.root + "\\outside\\x.txt") == "outside", "outside untouched");
}

// A scoring run's footprint, as the checks take it around each run: whatever the "component" does
// to the answer it was given (appends to a file, renames one, makes a new one), all of it is gone
// before the next run, and what the host put in the folder stays; a file of the host's that a run
// changed is named.
void FootprintOfARun(const std::string& base) {
  Sandbox box(base + "\\footprint");
  vardenix::RunFootprints& footprints = vardenix::SystemRunFootprints();
  WriteBytes(box.work + "\\host.txt", "the host's");
  auto start = footprints.Begin(box.work, "a.zip");
  WriteBytes(box.zip, Zip({{"checked.txt", "answer 1"}, {"考生/b.txt", "b"}}));
  Check(Extract(box.zip, box.work) == ar::kSuccess, "first run's extraction: " + last_failure);
  std::ofstream(std::filesystem::path(W(box.work + "\\checked.txt")), std::ios::binary | std::ios::app) << " and more";
  MoveFileW(W(box.work + "\\考生\\b.txt").c_str(), W(box.work + "\\考生\\c.txt").c_str());
  WriteBytes(box.work + "\\made.txt", "made by the component");
  Check(footprints.End(box.work, *start).empty(), "nothing of the host's changed in the first run");

  start = footprints.Begin(box.work, "a.zip");
  Check(Tree(box.work) == std::set<std::string>{"host.txt = the host's"},
        "before the second run the folder holds " + Joined(Tree(box.work)));
  WriteBytes(box.zip, Zip({{"other.txt", "answer 2"}}));
  Check(Extract(box.zip, box.work) == ar::kSuccess, "second run's extraction: " + last_failure);
  WriteBytes(box.work + "\\host.txt", "changed by the component");
  HANDLE edited = CreateFileW(W(box.work + "\\host.txt").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  const FILETIME later{0, 0x02000000};
  SetFileTime(edited, nullptr, nullptr, &later);
  CloseHandle(edited);
  const std::vector<std::string> changed = footprints.End(box.work, *start);
  Check(changed == std::vector<std::string>{"host.txt"}, "the host's file the run changed is named");
  Check(footprints.Clear(box.work).empty(), "clearing the folder");
  Check(Tree(box.work) == std::set<std::string>{"host.txt = changed by the component"},
        "after clearing the folder holds " + Joined(Tree(box.work)));
}

// Through a two-question bank and the real scoring component: question 2's rule asks for the file
// question 1's answer holds, but its own answer holds another; it fails in either draw order.
void LedgerThroughABank(const std::string& fixtures) {
  struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> listed;
  };
  const Row rows[] = {
      {"Q1 first", {{"Word", "Q1"}, {"Word", "Q2"}}},
      {"Q2 first", {{"Word", "Q2"}, {"Word", "Q1"}}},
  };
  struct Observer final : vardenix::CheckObserver {
    std::vector<std::string> seen;
    void OnRecord(const vardenix::RecordResult& r) override {
      seen.push_back(r.rec_no + (r.outcome == vardenix::RecordOutcome::kPassed ? " passed" : " failed"));
    }
  };
  for (const Row& row : rows) {
    const std::string work = fixtures + "\\two-work";
    RemoveTree(work);
    CreateDirectoryW(W(work).c_str(), nullptr);
    vardenix::ClsEnviChk chk;
    Observer observer;
    chk.SetObserver(&observer);
    vardenix::SubjectSelection selection;
    selection.kind = vardenix::SubjectSelection::Kind::kListed;
    selection.listed = row.listed;
    chk.SetSelection(selection);
    chk.PingName("Vardenix.FileCheck");
    chk.PingPath(work);
    std::string text, xml;
    std::vector<uint8_t> none;
    const bool verdict = chk.PingEnviChk(text, xml, none, "", vardenix::ChkSubject, fixtures + "\\total.db",
                                         fixtures + "\\subject-two.db", "JSJ01", -1, 1.0f);
    const std::string name = row.name;
    Check(!verdict, name + ": the verdict fails");
    std::vector<std::string> expected;
    for (const auto& [module, rec] : row.listed) expected.push_back(rec + (rec == "Q1" ? " passed" : " failed"));
    std::string seen;
    for (const std::string& s : observer.seen) seen += s + "; ";
    Check(observer.seen == expected, name + ": graded " + seen);
    RemoveTree(work);
  }
}

// Hostile archives: each is refused, and nothing is written inside the folder or anywhere else.
void Hostile(const std::string& base) {
  struct Row {
    const char* name;
    std::vector<Entry> entries;
    int16_t code;
  };
  const Entry fine{"fine.txt", "fine"};
  const Row rows[] = {
      {"traversal", {fine, {"../x.txt", "x"}}, ar::kUnsafeName},
      {"traversal inside", {fine, {"a/../../x.txt", "x"}}, ar::kUnsafeName},
      {"traversal with backslashes", {fine, {"a\\..\\..\\x.txt", "x"}}, ar::kUnsafeName},
      {"absolute", {fine, {"/x.txt", "x"}}, ar::kUnsafeName},
      {"absolute with a backslash", {fine, {"\\x.txt", "x"}}, ar::kUnsafeName},
      {"drive letter", {fine, {"C:\\x.txt", "x"}}, ar::kUnsafeName},
      {"drive-relative", {fine, {"C:x.txt", "x"}}, ar::kUnsafeName},
      {"server share", {fine, {"\\\\server\\share\\x.txt", "x"}}, ar::kUnsafeName},
      {"long-path prefix", {fine, {"\\\\?\\C:\\x.txt", "x"}}, ar::kUnsafeName},
      {"NUL in the name", {fine, {std::string("a.txt\0.exe", 10), "x"}}, ar::kUnsafeName},
      {"device name CON", {fine, {"CON", "x"}}, ar::kUnsafeName},
      {"device name aux.txt", {fine, {"aux.txt", "x"}}, ar::kUnsafeName},
      {"device name in a folder", {fine, {"d/lpt1.log", "x"}}, ar::kUnsafeName},
      {"device name COM1 as a folder", {fine, {"com1/x.txt", "x"}}, ar::kUnsafeName},
      {"device name nul with a space", {fine, {"nul .txt", "x"}}, ar::kUnsafeName},
      {"trailing dot", {fine, {"name.", "x"}}, ar::kUnsafeName},
      {"trailing space", {fine, {"name ", "x"}}, ar::kUnsafeName},
      {"folder with a trailing dot", {fine, {"d./x.txt", "x"}}, ar::kUnsafeName},
      {"alternate data stream", {fine, {"a.txt:evil", "x"}}, ar::kUnsafeName},
      {"stream of the folder", {fine, {"::$DATA", "x"}}, ar::kUnsafeName},
      {"a wildcard", {fine, {"a*.txt", "x"}}, ar::kUnsafeName},
      {"a control character", {fine, {"a\x01.txt", "x"}}, ar::kUnsafeName},
      {"symbolic link", {fine, {"link", "../outside", 0120777}}, ar::kUnsupportedEntry},
      {"symbolic link to an absolute path", {fine, {"link", "C:\\windows", 0120777}}, ar::kUnsupportedEntry},
      {"names differing in case", {fine, {"FINE.TXT", "x"}}, ar::kDuplicateName},
  };
  for (const Row& row : rows) {
    Sandbox box(base + "\\hostile");
    const std::set<std::string> outside = Tree(box.root);
    const int16_t code = ExtractEntries(box, row.entries);
    Check(code == row.code, std::string(row.name) + ": code " + std::to_string(code) + " (" + last_failure + ")");
    // The archive itself is the only change in the sandbox: nothing was written anywhere.
    std::set<std::string> after = Tree(box.root);
    after.erase("a.zip = " + ReadBytes(box.zip));
    Check(after == outside, std::string(row.name) + ": the sandbox now holds " + Joined(after));
  }

  // A truncated archive, cut at several places: refused, nothing written.
  const std::string whole = Zip({{"a.txt", std::string(3000, 'a')}, {"b.txt", "b"}});
  for (const size_t cut : {size_t{0}, size_t{10}, size_t{100}, whole.size() / 2, whole.size() - 10}) {
    Sandbox box(base + "\\hostile");
    WriteBytes(box.zip, whole.substr(0, cut));
    const int16_t code = Extract(box.zip, box.work);
    const std::string name = "truncated at " + std::to_string(cut);
    Check(code == ar::kCannotOpen || code == ar::kCorruptData, name + ": code " + std::to_string(code));
    Check(Tree(box.work).empty(), name + ": the folder now holds " + Joined(Tree(box.work)));
  }

  // The same harness extracts a sound archive with the awkward but valid names.
  Sandbox box(base + "\\hostile");
  Check(ExtractEntries(box, {{"a/./b.txt", "b"}, {"dir/", ""}, {"console.txt", "c"}, {"中文 名.txt", "z"}}) ==
            ar::kSuccess,
        "a sound archive: " + last_failure);
  const std::set<std::string> expected = {"a\\", "a\\b.txt = b", "console.txt = c", "dir\\", "中文 名.txt = z"};
  Check(Tree(box.work) == expected, "a sound archive gives " + Joined(Tree(box.work)));
}

// Archives are judged as the Linux control judges them (the survey and the data bounds are the
// same code): each row answers its code and writes exactly its tree, or nothing.
void Judged(const std::string& base, const std::string& corpus) {
  struct Row {
    std::string name;
    std::string archive;
    int16_t code;
    std::set<std::string> tree;  // what a success writes (Tree's form)
  };
  const std::string six = "hello\n";
  const std::string ten_mib_zeros(10 << 20, '\0');
  const auto corpus_file = [&](const char* name) { return ReadBytes(corpus + "\\" + name); };
  const Row rows[] = {
      // Data at odds with the sizes its headers declare is damaged.
      {"stored, declares 600 bytes, holds 6", Zip({{"a.txt", six, 0, 600}}), ar::kCorruptData, {}},
      {"stored, declares 3 bytes, holds 6", Zip({{"a.txt", six, 0, 3}}), ar::kCorruptData, {}},
      {"deflated, declares 600 bytes, holds 6", Zip({{"a.txt", six, 0, 600, true}}), ar::kCorruptData, {}},
      {"deflated, declares 0 bytes, holds 6", Zip({{"a.txt", six, 0, 0, true}}), ar::kCorruptData, {}},
      {"deflated, as declared", Zip({{"a.txt", six, 0, -1, true}}), ar::kSuccess, {"a.txt = hello\n"}},
      // Entry types: a fifo's mode (Info-ZIP zip reading its standard input) is a file of its data.
      {"a fifo mode is a file of its data", Zip({{"-", "x", 0010600}}), ar::kSuccess, {"- = x"}},
      {"a device stays refused", Zip({{"tty", "", 0020600}}), ar::kUnsupportedEntry, {}},
      {"a socket stays refused", Zip({{"sock", "", 0140600}}), ar::kUnsupportedEntry, {}},
      // Archives that unzip, bsdtar and Python's zipfile take.
      {"no entries (22 bytes)", Zip({}), ar::kSuccess, {}},
      {"a comment of 40,000 bytes", Zip({{"a.txt", "a"}}, std::string(40000, 'c')), ar::kSuccess, {"a.txt = a"}},
      {"10 MiB of zeros, deflated", Zip({{"zeros.bin", ten_mib_zeros, 0, -1, true}}), ar::kSuccess,
       {"zeros.bin = " + ten_mib_zeros}},
      {"Python zipfile: an empty archive", corpus_file("python-empty.zip"), ar::kSuccess, {}},
      {"Python zipfile: zip64 and a 16,362-byte comment", corpus_file("python-zip64-long-comment.zip"), ar::kSuccess,
       {"a.txt = zip64 entry\n"}},
      // Read as the archive it is (not as a damaged zip64 one); its name holds control characters,
      // which Windows names cannot.
      {"Python zipfile: a name ending in a zip64 locator's signature", corpus_file("python-locator-lookalike.zip"),
       ar::kUnsafeName, {}},
      {"Info-ZIP zip reading its standard input", corpus_file("zip-stdin-pipe.zip"), ar::kSuccess, {"- = x"}},
      {"a folder entry declaring 68 bytes", corpus_file("folder-declares-size.zip"), ar::kSuccess,
       {"folder\\", "folder\\f.txt = in the folder"}},
      {"padding after the extra fields", corpus_file("python-extra-padding.zip"), ar::kSuccess,
       {"a = a\n", "b = b\n", "c = c\n"}},
  };
  for (const Row& row : rows) {
    Sandbox box(base + "\\judged");
    WriteBytes(box.zip, row.archive);
    const int16_t code = Extract(box.zip, box.work);
    Check(code == row.code, row.name + ": code " + std::to_string(code) + " (" + last_failure + ")");
    Check(Tree(box.work) == row.tree, row.name + ": the folder holds " + Joined(Tree(box.work)).substr(0, 300));
  }

  // Names in the Info-ZIP Unicode Path field: local header and directory differ in the stored name,
  // agree in that field (libarchive's test archive).
  {
    Sandbox box(base + "\\judged");
    WriteBytes(box.zip, corpus_file("libarchive-zip_7075_utf8_paths"));
    Check(Extract(box.zip, box.work) == ar::kSuccess, "Unicode Path names: " + last_failure);
    Check(Exists(box.work + "\\File 2 - \xc3\xb6.txt"), "Unicode Path names give " + Joined(Tree(box.work)));
  }

  // What one extraction writes is bounded, and the refusal names the bound and the flag; the ratio
  // rule holds only past its exempt size, on the data as it expands.
  {
    Sandbox box(base + "\\judged");
    vardenix::Limits limits;
    limits.archive_total_bytes = 1 << 20;
    WriteBytes(box.zip, Zip({{"a.bin", std::string(600 << 10, 'a')}, {"b.bin", std::string(600 << 10, 'b')}}));
    const int16_t code = ExtractWith(vardenix::SystemArchiveControl(limits, nullptr), box.zip, box.work);
    Check(code == ar::kTooLarge && last_failure.find("1048576 bytes") != std::string::npos &&
              last_failure.find("--max-extract-size") != std::string::npos,
          "over the total: code " + std::to_string(code) + " (" + last_failure + ")");
    Check(Tree(box.work).empty(), "over the total writes nothing: " + Joined(Tree(box.work)).substr(0, 200));

    limits = vardenix::Limits{};
    limits.archive_ratio_exempt_bytes = 1 << 20;
    WriteBytes(box.zip, Zip({{"zeros.bin", ten_mib_zeros, 0, -1, true}}));
    const int16_t ratio = ExtractWith(vardenix::SystemArchiveControl(limits, nullptr), box.zip, box.work);
    Check(ratio == ar::kTooLarge && last_failure.find("expands more than 1000 times") != std::string::npos,
          "past the exempt size: code " + std::to_string(ratio) + " (" + last_failure + ")");
    Check(Tree(box.work).empty(), "a ratio refusal writes nothing");
  }

  // SystemArchiveControl() is the control with the default limits and no stop flag, whatever an
  // earlier call set for this thread.
  {
    Sandbox box(base + "\\judged");
    vardenix::Limits shallow;
    shallow.name_depth = 1;
    vardenix::StopFlag stop{true};
    WriteBytes(box.zip, Zip({{"d/e/f.txt", "f"}}));
    const int16_t stopped = ExtractWith(vardenix::SystemArchiveControl(shallow, &stop), box.zip, box.work);
    Check(stopped == ar::kUnsafeName || stopped == ar::kStopped, "limits and stop flag set: code " + std::to_string(stopped));
    Check(Extract(box.zip, box.work) == ar::kSuccess, "after SystemArchiveControl(): " + last_failure);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::printf("usage: extraction_client.exe ledger FIXTURES | hostile FOLDER | judged FOLDER CORPUS\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::wstring mode = argv[1];
  const std::string folder = vardenix::win::Narrow(argv[2]);
  try {
    if (mode == L"ledger") {
      LedgerThroughTheControl(folder);
      FootprintOfARun(folder);
      LedgerThroughABank(folder);
    } else if (mode == L"hostile") {
      Hostile(folder);
    } else if (mode == L"judged" && argc == 4) {
      Judged(folder, vardenix::win::Narrow(argv[3]));
    } else {
      std::printf("unknown part\n");
      return 2;
    }
  } catch (const std::exception& e) {
    Check(false, std::string("unexpected exception: ") + e.what());
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  CoUninitialize();
  return failed == 0 ? 0 : 1;
}
