// The archive control reads a small archive of plain entries in memory and any other through
// libarchive. Whichever reads it, an archive gets one judgement: every archive of the fuzz corpus
// (archives from the zip writers users have, libarchive's own test archives, hostile ones) and of
// the table below is extracted once with the in-memory line at 0 (libarchive always) and once with
// it above every archive (in memory wherever the entries allow), and both must answer alike and
// write alike. The table's rows also name the answer they must get.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive_control.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"

namespace vardenix {
namespace {

namespace result = archive_result;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// What one extraction answered and left in its folder (each path with "folder" or its content).
struct Outcome {
  int16_t code = -1;
  std::string reason;
  std::map<std::string, std::string> tree;
  bool operator==(const Outcome& o) const { return code == o.code && tree == o.tree; }
};

Outcome ExtractWith(const std::vector<uint8_t>& zip, uint64_t in_memory_bytes) {
  fakes::TempDir root;
  const std::string work = root / "work";
  fakes::MakeDirs(work);
  fakes::WriteFileBytes(work + "/ChkPing.ZIP", zip);
  Limits limits;
  limits.archive_in_memory_bytes = in_memory_bytes;
  DispatchObject& control = SystemArchiveControl(limits, nullptr);
  control.Put(archive_dispid::kZipFilename, Variant::Text(work + "/ChkPing.ZIP"));
  control.Put(archive_dispid::kOption16, Variant::Bool(false));
  control.Put(archive_dispid::kOption11, Variant::I2(2));
  control.Put(archive_dispid::kUnzipToFolder, Variant::Text(work));
  Outcome out;
  out.code = ToInt16(control.Call(archive_dispid::kUnzip, {Variant::I2(0)}));
  out.reason = ToText(control.Get(archive_dispid::kLastFailureReason));
  SystemArchiveControl();  // the defaults again
  for (const std::string& rel : fakes::ListTree(work)) {
    if (rel == "ChkPing.ZIP") continue;
    struct stat st;
    ::lstat((work + "/" + rel).c_str(), &st);
    out.tree[rel] = S_ISDIR(st.st_mode) ? "folder" : ReadText(work + "/" + rel);
  }
  return out;
}

std::string Describe(const Outcome& o) {
  std::string text = std::to_string(o.code) + " (" + o.reason + ")";
  for (const auto& [path, what] : o.tree) text += " " + path + (what == "folder" ? "/" : "");
  return text;
}

// Both readers on one archive: the outcome, after checking that they agree.
Outcome JudgedAlike(const std::string& name, const std::vector<uint8_t>& zip) {
  const Outcome streamed = ExtractWith(zip, 0);
  const Outcome in_memory = ExtractWith(zip, UINT64_MAX);
  EXPECT_EQ(streamed, in_memory) << name << ": libarchive " << Describe(streamed) << "; in memory "
                                 << Describe(in_memory);
  return in_memory;
}

// --- Hand-made archives: every header field as the row says, no data descriptor. ---

void Append(std::vector<uint8_t>& z, uint64_t value, int bytes) {
  for (int k = 0; k < bytes; ++k) z.push_back(static_cast<uint8_t>(value >> (8 * k)));
}
void Append(std::vector<uint8_t>& z, const std::string& bytes) { z.insert(z.end(), bytes.begin(), bytes.end()); }

uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xffffffffu;
  for (char ch : bytes) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xedb88320u ^ (crc >> 1) : crc >> 1;
  }
  return crc ^ 0xffffffffu;
}

// A raw deflate stream of one stored block: any byte of it flipped still inflates, so only the
// CRC-32 can tell.
std::string DeflateStored(const std::string& data) {
  std::string s;
  s += '\x01';
  s += static_cast<char>(data.size() & 0xff), s += static_cast<char>(data.size() >> 8);
  s += static_cast<char>(~data.size() & 0xff), s += static_cast<char>((~data.size() >> 8) & 0xff);
  return s + data;
}

struct RawEntry {
  std::string name;
  uint16_t method = 0;
  std::string data;            // as stored (already compressed)
  uint32_t crc = 0;
  uint64_t declared_size = 0;  // uncompressed; over 32 bits goes into a zip64 field
  uint16_t made_by = 0x0314;   // Unix
  uint32_t attributes = 0100644u << 16;
  std::string extra;           // both headers
};

RawEntry Stored(const std::string& name, const std::string& data) {
  RawEntry e;
  e.name = name, e.data = data, e.crc = Crc32(data), e.declared_size = data.size();
  return e;
}
RawEntry Deflated(const std::string& name, const std::string& data) {
  RawEntry e = Stored(name, data);
  e.method = 8, e.data = DeflateStored(data);
  return e;
}

std::vector<uint8_t> RawZip(const std::vector<RawEntry>& entries) {
  std::vector<uint8_t> z;
  std::vector<size_t> offsets;
  const auto zip64 = [](const RawEntry& e) { return e.declared_size > 0xfffffffe; };
  const auto extra = [&](const RawEntry& e) {
    std::string x = e.extra;
    if (zip64(e)) {
      std::vector<uint8_t> f;
      Append(f, 1, 2), Append(f, 16, 2), Append(f, e.declared_size, 8), Append(f, e.data.size(), 8);
      x += std::string(f.begin(), f.end());
    }
    return x;
  };
  for (const RawEntry& e : entries) {
    offsets.push_back(z.size());
    Append(z, 0x04034b50, 4), Append(z, zip64(e) ? 45 : 20, 2), Append(z, 0, 2), Append(z, e.method, 2);
    Append(z, 0, 4), Append(z, e.crc, 4);
    Append(z, zip64(e) ? 0xffffffff : e.data.size(), 4), Append(z, zip64(e) ? 0xffffffff : e.declared_size, 4);
    Append(z, e.name.size(), 2), Append(z, extra(e).size(), 2), Append(z, e.name), Append(z, extra(e));
    Append(z, e.data);
  }
  const size_t cd = z.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const RawEntry& e = entries[i];
    Append(z, 0x02014b50, 4), Append(z, e.made_by, 2), Append(z, zip64(e) ? 45 : 20, 2), Append(z, 0, 2);
    Append(z, e.method, 2), Append(z, 0, 4), Append(z, e.crc, 4);
    Append(z, zip64(e) ? 0xffffffff : e.data.size(), 4), Append(z, zip64(e) ? 0xffffffff : e.declared_size, 4);
    Append(z, e.name.size(), 2), Append(z, extra(e).size(), 2), Append(z, 0, 2), Append(z, 0, 2), Append(z, 0, 2);
    Append(z, e.attributes, 4), Append(z, offsets[i], 4), Append(z, e.name), Append(z, extra(e));
  }
  const size_t cd_size = z.size() - cd;
  Append(z, 0x06054b50, 4), Append(z, 0, 4), Append(z, entries.size(), 2), Append(z, entries.size(), 2);
  Append(z, cd_size, 4), Append(z, cd, 4), Append(z, 0, 2);
  return z;
}

// The archive with the byte at `at` (from the first data byte of the first entry) flipped.
std::vector<uint8_t> FlipDataByte(std::vector<uint8_t> zip, const RawEntry& first, size_t at) {
  zip[30 + first.name.size() + first.extra.size() + at] ^= 0x20;
  return zip;
}

std::vector<uint8_t> FromBase64(const std::string& text) {
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* p = c ? std::strchr(alphabet, c) : nullptr;
    if (p == nullptr) continue;
    bits = (bits << 6) | static_cast<uint32_t>(p - alphabet);
    if ((count += 6) >= 8) out.push_back(static_cast<uint8_t>(bits >> (count -= 8)));
  }
  return out;
}

std::vector<uint8_t> CorpusFile(const std::string& name) {
  return Bytes(ReadText(std::string(VARDENIX_ARCHIVE_CORPUS) + "/" + name));
}

TEST(ArchiveReaders, EveryTableArchiveHasOneJudgementAndTheRowsAnswer) {
  const std::string six = "hello\n";
  RawEntry dos_folder = Deflated("notes", six);
  dos_folder.made_by = 0x0014, dos_folder.attributes = 0x10;  // MS-DOS, folder attribute
  RawEntry zip64_stored = Stored("big.bin", "12345");
  zip64_stored.declared_size = (uint64_t{4} << 30) + 5;
  RawEntry declares_600 = Deflated("a.txt", six);
  declares_600.declared_size = 600;
  RawEntry declares_0 = Deflated("a.txt", six);
  declares_0.declared_size = 0;
  RawEntry stored_short = Stored("a.txt", six);
  stored_short.declared_size = 3;
  const RawEntry stored = Stored("answer.txt", "the candidate's answer");
  const RawEntry deflated = Deflated("answer.txt", "the candidate's answer");
  RawEntry odd_padding = Stored("12", "1234");
  odd_padding.extra = std::string("\0\xff", 2);
  RawEntry zero_padding = Stored("12", "1234");
  zero_padding.extra = std::string("\0\0", 2);
  RawEntry fifo = Stored("-", "x");
  fifo.attributes = 0010600u << 16;
  RawEntry device = Stored("tty", "");
  device.attributes = 0020600u << 16;
  RawEntry folder_with_size = Stored("folder/", "");
  folder_with_size.declared_size = 68;
  folder_with_size.attributes = 0040755u << 16;
  const std::string ten_mib_zeros(10 << 20, '\0');

  using Tree = std::map<std::string, std::string>;
  struct Row {
    const char* name;
    std::vector<uint8_t> archive;
    int16_t code;
    Tree tree;  // what a success writes
  };
  const Row rows[] = {
      // Data at odds with the sizes its headers declare is damaged, whoever reads it.
      {"deflated, declares 600 bytes, holds 6", RawZip({declares_600}), result::kCorruptData, {}},
      {"deflated, declares 0 bytes, holds 6", RawZip({declares_0}), result::kCorruptData, {}},
      {"stored, declares 3 bytes, holds 6", RawZip({stored_short}), result::kCorruptData, {}},
      {"stored zip64, declares 4 GiB + 5, holds 5", RawZip({zip64_stored}), result::kCorruptData, {}},
      {"a file name with the MS-DOS folder attribute, holding data", RawZip({dos_folder}), result::kUnsafeName, {}},
      // One data byte flipped, no data descriptor: only the CRC-32 can tell.
      {"stored, a data byte flipped", FlipDataByte(RawZip({stored}), stored, 4), result::kCorruptData, {}},
      {"deflated, a data byte flipped", FlipDataByte(RawZip({deflated}), deflated, 9), result::kCorruptData, {}},
      {"stored, unflipped", RawZip({stored}), result::kSuccess, {{"answer.txt", "the candidate's answer"}}},
      {"deflated, unflipped", RawZip({deflated}), result::kSuccess, {{"answer.txt", "the candidate's answer"}}},
      // Extra fields: libarchive takes 1 to 3 bytes only as zero padding, and so does the control.
      {"extra block of 2 bytes that are not zeros",
       FromBase64("UEsDBAoAAAAAACipNEij4OObBAAAAAQAAAACAAIAMTIA/zEyMzRQSwECHgMKAAAAAAAoqTRIo+DjmwQAAAAEAAAAAgACAAAAAAAAAAAA"
                  "tIEAAAAAMTIA/1BLBQYAAAAAAQABADIAAAAmAAAAAAA="),
       result::kCannotOpen, {}},
      {"extra block of 2 bytes that are not zeros, hand-made", RawZip({odd_padding}), result::kCannotOpen, {}},
      {"extra block of 2 zero bytes", RawZip({zero_padding}), result::kSuccess, {{"12", "1234"}}},
      // Entry types.
      {"a fifo mode is a file of its data", RawZip({fifo}), result::kSuccess, {{"-", "x"}}},
      {"a device stays refused", RawZip({device}), result::kUnsupportedEntry, {}},
      {"a folder declaring a size, holding nothing", RawZip({folder_with_size}), result::kSuccess,
       {{"folder", "folder"}}},
      // A 10 MiB file of zeros expands about 1000 times and is an answer all the same.
      {"10 MiB of zeros", fakes::BuildZip({{"zeros.bin", ten_mib_zeros}}), result::kSuccess,
       {{"zeros.bin", ten_mib_zeros}}},
      // Archives the zip writers users have make (fuzz/corpus/archives), which unzip, bsdtar and
      // Python's zipfile all take.
      {"Python zipfile: an empty archive (22 bytes)", CorpusFile("python-empty.zip"), result::kSuccess, {}},
      {"Python zipfile: zip64 and a 16,362-byte comment", CorpusFile("python-zip64-long-comment.zip"),
       result::kSuccess, {{"a.txt", "zip64 entry\n"}}},
      {"Python zipfile: a name ending in a zip64 locator's signature and 16 bytes",
       CorpusFile("python-locator-lookalike.zip"), result::kSuccess,
       {{std::string("aPK\x06\x07") + std::string(16, 'n'), "name holds a locator signature"}}},
      {"Info-ZIP zip reading its standard input", CorpusFile("zip-stdin-pipe.zip"), result::kSuccess, {{"-", "x"}}},
      {"a folder entry declaring 68 bytes (older macOS tools)", CorpusFile("folder-declares-size.zip"),
       result::kSuccess, {{"folder", "folder"}, {"folder/f.txt", "in the folder"}}},
  };
  for (const Row& row : rows) {
    const Outcome out = JudgedAlike(row.name, row.archive);
    EXPECT_EQ(out.code, row.code) << row.name << ": " << out.reason;
    if (row.code == result::kSuccess) {
      EXPECT_EQ(out.tree, row.tree) << row.name;
    } else {
      EXPECT_TRUE(out.tree.empty()) << row.name << ": " << Describe(out);
    }
  }
}

// Padding after the extra fields (zero bytes, as zipalign writes), and names in the Info-ZIP Unicode
// Path field (libarchive's test archive: local header and directory differ in the stored name,
// agree in that field).
TEST(ArchiveReaders, PaddedExtraFieldsAndUnicodePathNames) {
  const Outcome padding = JudgedAlike("extra padding", CorpusFile("python-extra-padding.zip"));
  EXPECT_EQ(padding.code, result::kSuccess) << padding.reason;
  EXPECT_EQ(padding.tree, (std::map<std::string, std::string>{{"a", "a\n"}, {"b", "b\n"}, {"c", "c\n"}}));
  const Outcome unicode = JudgedAlike("unicode paths", CorpusFile("libarchive-zip_7075_utf8_paths"));
  EXPECT_EQ(unicode.code, result::kSuccess) << unicode.reason;
  EXPECT_EQ(unicode.tree.count("File 2 - \xc3\xb6.txt"), 1u) << Describe(unicode);
}

// What one extraction writes is bounded, and the refusal names the bound and the flag that sets it.
TEST(ArchiveReaders, TheTotalWrittenIsBoundedAndTheRefusalNamesTheLimit) {
  const std::vector<uint8_t> zip = fakes::BuildZip({{"a.bin", std::string(600 << 10, 'a')}, {"b.bin", std::string(600 << 10, 'b')}});
  for (const uint64_t in_memory : {uint64_t{0}, UINT64_MAX}) {
    fakes::TempDir root;
    fakes::WriteFileBytes(root / "ChkPing.ZIP", zip);
    Limits limits;
    limits.archive_total_bytes = 1 << 20;
    limits.archive_in_memory_bytes = in_memory;
    DispatchObject& control = SystemArchiveControl(limits, nullptr);
    control.Put(archive_dispid::kZipFilename, Variant::Text(root / "ChkPing.ZIP"));
    control.Put(archive_dispid::kUnzipToFolder, Variant::Text(root.path()));
    EXPECT_EQ(ToInt16(control.Call(archive_dispid::kUnzip, {Variant::I2(0)})), result::kTooLarge);
    const std::string reason = ToText(control.Get(archive_dispid::kLastFailureReason));
    EXPECT_NE(reason.find("1048576 bytes"), std::string::npos) << reason;
    EXPECT_NE(reason.find("--max-extract-size"), std::string::npos) << reason;
    EXPECT_EQ(fakes::ListTree(root.path()), std::vector<std::string>{"ChkPing.ZIP"});
    SystemArchiveControl();
  }
}

TEST(ArchiveReaders, EveryCorpusArchiveHasOneJudgement) {
  DIR* dir = ::opendir(VARDENIX_ARCHIVE_CORPUS);
  ASSERT_NE(dir, nullptr) << VARDENIX_ARCHIVE_CORPUS;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  ASSERT_GT(names.size(), 50u);
  for (const std::string& name : names) JudgedAlike(name, CorpusFile(name));
}

}  // namespace
}  // namespace vardenix
