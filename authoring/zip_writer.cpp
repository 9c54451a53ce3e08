#include "authoring/zip_writer.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

namespace fs = std::filesystem;

// 2000-01-01 00:00:00 UTC: any fixed time inside the DOS date range will do.
constexpr time_t kFixedTime = 946684800;

struct Item {
  std::string name;  // relative, '/'-separated
  bool folder = false;
  fs::path path;
};

std::vector<Item> Collect(const std::string& dir) {
  std::error_code ec;
  // The folder is taken as named, a link to it included (as "dir/" would be anyway); nothing
  // under it is followed.
  if (!fs::is_directory(fs::status(dir, ec))) {
    throw RuntimeError("cannot zip " + dir + ": not a folder");
  }
  std::vector<Item> items;
  fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec);
  if (ec) throw RuntimeError("cannot read the folder " + dir + ": " + ec.message());
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::path& p = it->path();
    const fs::file_status st = it->symlink_status(ec);
    if (ec) break;
    Item item;
    item.name = p.lexically_relative(dir).generic_string();
    item.path = p;
    if (!IsValidUtf8(item.name)) throw RuntimeError("cannot zip " + p.string() + ": the name is not UTF-8");
    if (fs::is_directory(st)) {
      item.folder = true;
    } else if (!fs::is_regular_file(st)) {
      throw RuntimeError("cannot zip " + p.string() + ": only folders and regular files can go into an archive");
    }
    items.push_back(std::move(item));
  }
  if (ec) throw RuntimeError("cannot read the folder " + dir + ": " + ec.message());
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.name < b.name; });
  return items;
}

struct ArchiveCloser {
  void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryCloser {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};

la_ssize_t Append(archive*, void* client, const void* buffer, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(client);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  out->insert(out->end(), bytes, bytes + length);
  return static_cast<la_ssize_t>(length);
}

}  // namespace

std::vector<uint8_t> ZipFolder(const std::string& dir) {
  const std::vector<Item> items = Collect(dir);
  std::vector<uint8_t> out;
  std::unique_ptr<archive, ArchiveCloser> a(archive_write_new());
  auto fail = [&](const std::string& what) -> RuntimeError {
    const char* why = archive_error_string(a.get());
    return RuntimeError("cannot zip " + what + ": " + (why ? why : "libarchive failed"));
  };
  if (archive_write_set_format_zip(a.get()) != ARCHIVE_OK) throw fail(dir);
  // Names are UTF-8 and flagged so, whatever the locale of the process.
  if (archive_write_set_options(a.get(), "zip:hdrcharset=UTF-8,zip:compression=deflate") != ARCHIVE_OK) {
    throw fail(dir);
  }
  archive_write_set_bytes_in_last_block(a.get(), 1);
  if (archive_write_open2(a.get(), &out, nullptr, &Append, nullptr, nullptr) != ARCHIVE_OK) throw fail(dir);

  for (const Item& item : items) {
    std::unique_ptr<archive_entry, EntryCloser> entry(archive_entry_new());
    archive_entry_set_pathname_utf8(entry.get(), (item.folder ? item.name + "/" : item.name).c_str());
    archive_entry_set_mtime(entry.get(), kFixedTime, 0);
    std::string data;
    if (item.folder) {
      archive_entry_set_filetype(entry.get(), AE_IFDIR);
      archive_entry_set_perm(entry.get(), 0755);
      archive_entry_set_size(entry.get(), 0);
    } else {
      std::ifstream in(item.path, std::ios::binary);
      if (!in.is_open()) throw RuntimeError("cannot read " + item.path.string());
      data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (in.bad()) throw RuntimeError("cannot read " + item.path.string());
      archive_entry_set_filetype(entry.get(), AE_IFREG);
      archive_entry_set_perm(entry.get(), 0644);
      archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
    }
    if (archive_write_header(a.get(), entry.get()) != ARCHIVE_OK) throw fail(item.path.string());
    if (!data.empty() &&
        archive_write_data(a.get(), data.data(), data.size()) != static_cast<la_ssize_t>(data.size())) {
      throw fail(item.path.string());
    }
  }
  if (archive_write_close(a.get()) != ARCHIVE_OK) throw fail(dir);
  return out;
}

}  // namespace vardenix
