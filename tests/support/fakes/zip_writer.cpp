#include "tests/support/fakes/zip_writer.h"

#include <sys/stat.h>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>

namespace vardenix::fakes {
namespace {

struct WriterFree {
  void operator()(archive* a) const { archive_write_free(a); }
};
using Writer = std::unique_ptr<archive, WriterFree>;

void Check(archive* a, int rc, const std::string& what) {
  if (rc < ARCHIVE_WARN) {
    const char* why = archive_error_string(a);
    throw std::runtime_error("zip writer: " + what + ": " + (why ? why : "failed"));
  }
}

Writer NewZipWriter() {
  Writer a(archive_write_new());
  Check(a.get(), archive_write_set_format_zip(a.get()), "format");
  Check(a.get(), archive_write_set_bytes_per_block(a.get(), 0), "block size");
  return a;
}

la_ssize_t AppendToVector(archive*, void* client, const void* buffer, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(client);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  out->insert(out->end(), bytes, bytes + length);
  return static_cast<la_ssize_t>(length);
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | (static_cast<uint32_t>(Le16(p + 2)) << 16); }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, static_cast<uint16_t>(v));
  Put16(p + 2, static_cast<uint16_t>(v >> 16));
}

// Positions of the central record and the local header of each entry, in written order.
struct Headers {
  size_t central;
  size_t local;
};
std::vector<Headers> FindHeaders(const std::vector<uint8_t>& zip) {
  if (zip.size() < 22 || Le32(&zip[zip.size() - 22]) != 0x06054b50) {
    throw std::runtime_error("zip writer: no end record where expected");
  }
  const uint8_t* end = &zip[zip.size() - 22];
  uint64_t count = Le16(end + 10);
  size_t pos = Le32(end + 16);
  if (count == 0xffff) {  // more entries than a plain end record holds: the zip64 one has them
    const uint8_t* end64 = &zip[Le32(end - 20 + 8)];
    count = Le32(end64 + 32);
    pos = Le32(end64 + 48);
  }
  std::vector<Headers> headers;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* h = &zip[pos];
    headers.push_back({pos, Le32(h + 42)});
    pos += 46 + Le16(h + 28) + Le16(h + 30) + Le16(h + 32);
  }
  return headers;
}

}  // namespace

std::vector<uint8_t> BuildZip(const std::vector<ZipEntry>& entries, ZipMethod method) {
  std::vector<uint8_t> zip;
  {
    Writer a = NewZipWriter();
    Check(a.get(),
          archive_write_set_format_option(a.get(), "zip", "compression",
                                          method == ZipMethod::kStore ? "store" : "deflate"),
          "compression");
    Check(a.get(), archive_write_open2(a.get(), &zip, nullptr, AppendToVector, nullptr, nullptr), "open");
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(), archive_entry_free);
    for (const ZipEntry& spec : entries) {
      archive_entry_clear(e.get());
      // A placeholder of the stored length; the real bytes are patched in afterwards.
      std::string placeholder(spec.name.size(), 'p');
      if (spec.type == ZipEntryType::kFolder && !placeholder.empty()) placeholder.back() = '/';
      archive_entry_set_pathname(e.get(), placeholder.c_str());
      archive_entry_set_mtime(e.get(), 1700000000, 0);
      const std::string* data = &spec.data;
      static const std::string kNoData;
      switch (spec.type) {
        case ZipEntryType::kFolder:
          archive_entry_set_filetype(e.get(), AE_IFDIR);
          archive_entry_set_perm(e.get(), 0755);
          data = &kNoData;
          break;
        case ZipEntryType::kSymlink:
          archive_entry_set_filetype(e.get(), AE_IFLNK);
          archive_entry_set_perm(e.get(), 0777);
          archive_entry_set_symlink(e.get(), spec.data.c_str());
          data = &kNoData;
          break;
        case ZipEntryType::kHardLink:
          archive_entry_set_filetype(e.get(), AE_IFREG);
          archive_entry_set_perm(e.get(), 0644);
          archive_entry_set_hardlink(e.get(), spec.data.c_str());
          data = &kNoData;
          break;
        default:
          archive_entry_set_filetype(e.get(), AE_IFREG);
          archive_entry_set_perm(e.get(), 0644);
          break;
      }
      archive_entry_set_size(e.get(), static_cast<la_int64_t>(data->size()));
      Check(a.get(), archive_write_header(a.get(), e.get()), "header of " + placeholder);
      if (!data->empty() && archive_write_data(a.get(), data->data(), data->size()) < 0) {
        Check(a.get(), ARCHIVE_FATAL, "data of " + placeholder);
      }
    }
    Check(a.get(), archive_write_close(a.get()), "close");
  }

  const std::vector<Headers> headers = FindHeaders(zip);
  if (headers.size() != entries.size()) throw std::runtime_error("zip writer: entry count changed");
  for (size_t i = 0; i < entries.size(); ++i) {
    const ZipEntry& spec = entries[i];
    uint8_t* central = &zip[headers[i].central];
    uint8_t* local = &zip[headers[i].local];
    if (Le16(central + 28) != spec.name.size() || Le16(local + 26) != spec.name.size()) {
      throw std::runtime_error("zip writer: libarchive changed the length of a name");
    }
    std::memcpy(central + 46, spec.name.data(), spec.name.size());
    std::memcpy(local + 30, spec.name.data(), spec.name.size());
    for (uint8_t* flags : {central + 8, local + 6}) {
      uint16_t f = Le16(flags);
      f = static_cast<uint16_t>(spec.utf8_flag ? f | 0x0800 : f & ~0x0800);
      if (spec.encrypted_flag) f |= 0x0001;
      Put16(flags, f);
    }
    if (spec.type == ZipEntryType::kFifo || spec.type == ZipEntryType::kCharDevice ||
        spec.type == ZipEntryType::kSocket) {
      const uint32_t type = spec.type == ZipEntryType::kFifo         ? S_IFIFO
                            : spec.type == ZipEntryType::kCharDevice ? S_IFCHR
                                                                     : S_IFSOCK;
      const uint32_t mode = type | 0644;
      Put16(central + 4, static_cast<uint16_t>((3 << 8) | Le16(central + 4)));  // made on Unix
      Put32(central + 38, mode << 16);
    }
  }
  return zip;
}

size_t DataOffset(const std::vector<uint8_t>& zip, size_t index) {
  const size_t local = FindHeaders(zip).at(index).local;
  return local + 30 + Le16(&zip[local + 26]) + Le16(&zip[local + 28]);
}

void SetDeclaredSize(std::vector<uint8_t>& zip, size_t index, uint32_t size) {
  const Headers h = FindHeaders(zip).at(index);
  Put32(&zip[h.central + 24], size);
  if (Le32(&zip[h.local + 22]) != 0) Put32(&zip[h.local + 22], size);  // zero when a data descriptor follows
}

void WriteTextZip(const std::string& path, int files, uint64_t bytes_each, uint32_t seed) {
  Writer a = NewZipWriter();
  Check(a.get(), archive_write_set_format_option(a.get(), "zip", "compression-level", "1"), "level");
  Check(a.get(), archive_write_open_filename(a.get(), path.c_str()), "open " + path);
  std::mt19937 random(seed);
  std::vector<char> chunk(256 * 1024);
  std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(), archive_entry_free);
  for (int n = 0; n < files; ++n) {
    archive_entry_clear(e.get());
    archive_entry_set_pathname(e.get(), ("big/" + std::to_string(n) + ".txt").c_str());
    archive_entry_set_filetype(e.get(), AE_IFREG);
    archive_entry_set_perm(e.get(), 0644);
    archive_entry_set_size(e.get(), static_cast<la_int64_t>(bytes_each));
    Check(a.get(), archive_write_header(a.get(), e.get()), "header");
    // One chunk per file, repeated: deflate's 32 KiB window never sees the repetition.
    for (char& c : chunk) c = "abcdefghijklmnop \n"[random() % 18];
    for (uint64_t left = bytes_each; left > 0;) {
      const size_t len = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
      if (archive_write_data(a.get(), chunk.data(), len) < 0) Check(a.get(), ARCHIVE_FATAL, "data");
      left -= len;
    }
  }
  Check(a.get(), archive_write_close(a.get()), "close");
}

std::vector<ZipFile> ReadZipFiles(const std::string& path) {
  const auto error = [](archive* a) {
    const char* text = archive_error_string(a);
    return std::string(text ? text : "unknown error");
  };
  std::unique_ptr<archive, int (*)(archive*)> a(archive_read_new(), archive_read_free);
  archive_read_support_format_zip_seekable(a.get());
  archive_read_set_format_option(a.get(), "zip", "hdrcharset", "ISO-8859-1");  // any byte reads
  if (archive_read_open_filename(a.get(), path.c_str(), 65536) != ARCHIVE_OK) {
    throw std::runtime_error("cannot open " + path + ": " + error(a.get()));
  }
  std::vector<ZipFile> files;
  archive_entry* entry = nullptr;
  int rc;
  // A warning on a header is a name the locale cannot show; the entry is still read, without a name.
  while ((rc = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
    const char* stored = archive_entry_pathname(entry);
    const std::string raw = stored && rc == ARCHIVE_OK ? stored : "";
    if (archive_entry_filetype(entry) != AE_IFREG || (!raw.empty() && (raw.back() == '/' || raw.back() == '\\'))) continue;
    ZipFile file;
    if (!raw.empty() && std::all_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      std::string part;
      for (size_t i = 0; i <= raw.size(); ++i) {
        if (i == raw.size() || raw[i] == '/' || raw[i] == '\\') {
          if (!part.empty() && part != ".") file.name += (file.name.empty() ? "" : "/") + part;
          part.clear();
        } else {
          part += raw[i];
        }
      }
    }
    char buffer[65536];
    la_ssize_t n;
    while ((n = archive_read_data(a.get(), buffer, sizeof buffer)) > 0) file.bytes.append(buffer, static_cast<size_t>(n));
    if (n < 0) throw std::runtime_error("cannot read the data of " + raw + ": " + error(a.get()));
    files.push_back(std::move(file));
  }
  if (rc != ARCHIVE_EOF) throw std::runtime_error(std::string("cannot read ") + path + ": " + error(a.get()));
  return files;
}

}  // namespace vardenix::fakes
