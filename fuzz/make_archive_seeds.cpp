// Writes the seed corpus of the archives target: a few honest zips of the kind model answers come in
// and a few hostile ones, each a few KB, built with the test zip writer.
//
//   build-fuzz/fuzz/make_archive_seeds fuzz/corpus/archives
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"

using vardenix::fakes::BuildZip;
using vardenix::fakes::ZipEntry;
using vardenix::fakes::ZipEntryType;
using vardenix::fakes::ZipMethod;

namespace {

std::string Paragraphs(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "Paragraph " + std::to_string(i) + ": the candidate sets the font.\r\n";
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const auto write = [&](const std::string& name, const std::vector<uint8_t>& zip) {
    vardenix::fakes::WriteFileBytes(folder + "/" + name, zip);
  };
  try {
    // Honest archives.
    write("nested", BuildZip({{"doc/", "", ZipEntryType::kFolder},
                              {"doc/answer.txt", Paragraphs(20)},
                              {"doc/sub/deep/table.csv", "a,b\r\n1,2\r\n"},
                              {"readme.txt", "model answer"}}));
    write("cp936-names", BuildZip({{"\xb4\xf0\xb0\xb8/\xce\xc4\xb5\xb5.txt", Paragraphs(3)},
                                   {"\xe7\xad\x94\xe6\xa1\x88.txt", "utf-8 name", ZipEntryType::kFile, true}}));
    write("empty-file-and-folder", BuildZip({{"empty.txt", ""}, {"empty/", "", ZipEntryType::kFolder}}, ZipMethod::kStore));
    write("backslashes-and-dots", BuildZip({{"win\\sub\\a.txt", "a"}, {"./b.txt", "b"}, {"c//d.txt", "d"}}));
    // Entries that meet what the working folder already holds: its symlinks and the archive itself.
    write("over-planted-links", BuildZip({{"linked/escaped.txt", "through a link?"},
                                          {"linked.txt", "replaces the link"},
                                          {"ChkPing.ZIP", "replaces the archive"}}, ZipMethod::kStore));

    // Hostile archives.
    write("dot-dot", BuildZip({{"ok.txt", "x"}, {"../x", "escaped"}}));
    write("absolute", BuildZip({{"/tmp/vardenix-escaped", "escaped"}}));
    write("symlink-then-file", BuildZip({{"link", "../outside", ZipEntryType::kSymlink}, {"link/file", "escaped"}}));
    write("hard-link", BuildZip({{"a.txt", "a"}, {"b.txt", "../canary.txt", ZipEntryType::kHardLink}}));
    write("duplicate", BuildZip({{"a.txt", "one"}, {"a.txt", "two"}}));
    write("encrypted-flag", BuildZip({{"ok.txt", "x"}, {"secret.txt", "data", ZipEntryType::kFile, false, true}}));
    std::vector<uint8_t> nested = BuildZip({{"doc/answer.txt", Paragraphs(20)}, {"doc/more.txt", Paragraphs(5)}});
    nested.resize(nested.size() / 2);
    write("truncated", nested);
    std::vector<uint8_t> longer = BuildZip({{"long.txt", Paragraphs(30)}}, ZipMethod::kStore);
    vardenix::fakes::SetDeclaredSize(longer, 0, 40);
    write("more-data-than-declared", longer);
    // Names that cost far more than their size: a 64 KB name 32,000 folders deep, and one folder
    // entry 20,000 folders deep.
    std::string deep;
    for (int i = 0; i < 32000; ++i) deep += "d/";
    write("deep-name", BuildZip({{deep + std::string(1535, 'n'), "x"}}));
    std::string nested_folders;
    for (int i = 0; i < 20000; ++i) nested_folders += "d/";
    write("nested-folders", BuildZip({{nested_folders, "", ZipEntryType::kFolder}}));
    write("padded", [] {  // more padding after the end record than libarchive's seekable reader looks past
      std::vector<uint8_t> zip = BuildZip({{"a.txt", "a"}});
      zip.insert(zip.end(), 20000, 0);
      return zip;
    }());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
