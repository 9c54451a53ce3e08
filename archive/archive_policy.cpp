#include "archive/archive_policy.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>

#include "archive/archive_control.h"
#include "archive/zip_directory.h"
#include "platform/text_encoding.h"
#include "vardenix/error.h"

namespace vardenix::archive_policy {
namespace {

namespace ar = archive_result;

// Unix file types in the high half of a zip entry's external attributes.
constexpr uint32_t kTypeMask = 0170000;
constexpr uint32_t kSocket = 0140000;
constexpr uint32_t kLink = 0120000;
constexpr uint32_t kRegular = 0100000;
constexpr uint32_t kFolder = 0040000;
constexpr uint32_t kFifo = 0010000;

uint32_t Crc32(std::string_view bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xffffffffu;
  for (char ch : bytes) crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xff] ^ (crc >> 8);
  return crc ^ 0xffffffffu;
}

// CP936 (GBK, the code page of Chinese Windows) to UTF-8; false when the bytes are not CP936.
bool Cp936ToUtf8(const std::string& raw, std::string& out) {
  try {
    return LegacyToUtf8(raw, LegacyEncoding::kCp936, out);
  } catch (const RuntimeError& e) {
    Refuse(ar::kCannotOpen, std::string("cannot decode CP936 names: ") + e.what());
  }
}

// The Info-ZIP Unicode Path extra field (0x7075): a UTF-8 form of the name, used only while its CRC
// matches a name the entry's headers store (a tool that renamed the entry without updating the
// field leaves it stale; some writers take the CRC of the local header's name for both headers).
bool UnicodePathField(const std::string& extra, const zip::RawEntry& e, std::string& utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  size_t pos = 0;
  while (pos + 4 <= extra.size()) {
    const size_t id = p[pos] | (p[pos + 1] << 8), len = p[pos + 2] | (p[pos + 3] << 8);
    if (pos + 4 + len > extra.size()) return false;
    if (id == 0x7075 && len >= 5 && p[pos + 4] == 1) {
      const uint32_t crc = p[pos + 5] | (p[pos + 6] << 8) | (p[pos + 7] << 16) | (uint32_t{p[pos + 8]} << 24);
      if (crc == Crc32(e.local_name) || (e.central_name != e.local_name && crc == Crc32(e.central_name))) {
        utf8.assign(extra, pos + 9, len - 5);
        return true;
      }
    }
    pos += 4 + len;
  }
  return false;
}

// The name one header gives as UTF-8, decided in this order: the UTF-8 flag; the Unicode Path extra
// field (this header's, else the other header's) when its CRC matches a stored name; a name that is
// valid UTF-8 and holds non-ASCII bytes (Info-ZIP zip and others write UTF-8 without the flag);
// otherwise CP936, as Chinese Windows tools write names.
std::string DecodeName(const zip::RawEntry& e, const std::string& raw, uint16_t flags, const std::string& extra,
                       const std::string& other_extra) {
  if ((flags & zip::kFlagUtf8) != 0) {
    if (!IsValidUtf8(raw)) Refuse(ar::kUnsafeName, "entry " + Quoted(raw) + ": the name is not valid UTF-8");
    return raw;
  }
  std::string unicode;
  if (UnicodePathField(extra, e, unicode) || UnicodePathField(other_extra, e, unicode)) {
    if (!IsValidUtf8(unicode)) Refuse(ar::kUnsafeName, "entry " + Quoted(raw) + ": the name is not valid UTF-8");
    return unicode;
  }
  if (IsValidUtf8(raw)) return raw;  // plain ASCII reads the same in CP936
  std::string decoded;
  if (!Cp936ToUtf8(raw, decoded)) {
    Refuse(ar::kUnsafeName, "entry " + Quoted(raw) + ": the name is neither UTF-8 nor CP936");
  }
  return decoded;
}

// The entry's name as UTF-8. The local header and the directory must name the entry alike: as
// stored, or (Info-ZIP writes the stored name in the code page of the moment, which may differ
// between the two) as their decoded names, the Unicode Path field included.
std::string DecodeName(const zip::RawEntry& e) {
  const uint16_t flags = e.local_flags | e.central_flags;
  const std::string local = DecodeName(e, e.local_name, flags, e.local_extra, e.central_extra);
  if (e.local_name == e.central_name) return local;
  const std::string central = DecodeName(e, e.central_name, flags, e.central_extra, e.local_extra);
  if (local != central) {
    Refuse(ar::kUnsafeName, "entry " + Quoted(central) + ": its local header names it " + Quoted(local));
  }
  return local;
}

// True when `extra` holds a field with the tag `id`.
bool HasExtraField(const std::string& extra, uint16_t id) {
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  for (size_t pos = 0; pos + 4 <= extra.size();) {
    if ((p[pos] | (p[pos + 1] << 8)) == id) return true;
    pos += 4 + (p[pos + 2] | (p[pos + 3] << 8));
  }
  return false;
}

bool IsReservedDeviceName(std::string_view part) {
  std::string base(part.substr(0, part.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* n : kNames) {
    if (base == n) return true;
  }
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '0' && base[3] <= '9';
}

// Refuses a name part Windows cannot hold or would read as something else.
void CheckWindowsPart(std::string_view part, const std::string& utf8) {
  for (char ch : part) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || std::strchr("<>:\"|?*", ch) != nullptr) {
      Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name holds a character Windows does not allow");
    }
  }
  if (part.back() == '.' || part.back() == ' ') {
    Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": a name part ends in a dot or a space");
  }
  if (IsReservedDeviceName(part)) Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name is a Windows device name");
}

// Orders paths so that every path below a folder follows that folder's own path at once: "/" sorts
// before every other byte ("a", "a/b", "a b").
bool PathLess(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) {
      const auto key = [](char c) { return c == '/' ? 0u : static_cast<unsigned char>(c) + 1u; };
      return key(a[i]) < key(b[i]);
    }
  }
  return a.size() < b.size();
}

// Refuses two entries with one path, and a file where another entry needs a folder. Sorting keeps
// the memory to one pointer per entry (and one folded name under a fold), however deep the names.
void CheckNamesClash(const std::vector<PlannedEntry>& entries, const NameFold& fold) {
  struct Key {
    const PlannedEntry* entry;
    std::string folded;  // empty without a fold
    const std::string& path() const { return folded.empty() ? entry->path : folded; }
  };
  std::vector<Key> sorted;
  sorted.reserve(entries.size());
  for (const PlannedEntry& e : entries) sorted.push_back(Key{&e, fold ? fold(e.path) : std::string()});
  std::sort(sorted.begin(), sorted.end(), [](const Key& a, const Key& b) { return PathLess(a.path(), b.path()); });
  for (size_t i = 0; i + 1 < sorted.size(); ++i) {
    const std::string& here = sorted[i].path();
    const std::string& next = sorted[i + 1].path();
    if (here == next) {
      Refuse(ar::kDuplicateName, "two entries are named " + Quoted(sorted[i].entry->path) +
                                     (sorted[i].entry->path == sorted[i + 1].entry->path
                                          ? std::string()
                                          : " and " + Quoted(sorted[i + 1].entry->path)));
    }
    if (!sorted[i].entry->is_folder && next.size() > here.size() && next[here.size()] == '/' &&
        next.compare(0, here.size(), here) == 0) {
      Refuse(ar::kDuplicateName,
             "entry " + Quoted(sorted[i].entry->path) + " is a file, but other entries lie inside it");
    }
  }
}

}  // namespace

void Refuse(int16_t code, std::string reason) { throw Refusal{code, std::move(reason)}; }

void RefuseStopped() { Refuse(archive_result::kStopped, kStoppedDescription); }

std::string Printable(const std::string& raw) {
  constexpr size_t kShown = 300;
  const std::string_view cut(raw.data(), std::min(raw.size(), kShown));
  const bool utf8 = IsValidUtf8(raw);
  std::string out;
  for (char ch : cut) {
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
  if (utf8) {
    // Do not end inside a character that the cut split.
    size_t keep = out.size();
    while (keep > 0 && (static_cast<unsigned char>(out[keep - 1]) & 0xc0) == 0x80) --keep;
    if (keep > 0 && static_cast<unsigned char>(out[keep - 1]) >= 0xc0) out.resize(keep - 1);
  }
  if (raw.size() > kShown) out += "...";
  return out;
}

std::string Quoted(const std::string& name) { return "\"" + Printable(name) + "\""; }

std::string RelativePath(const std::string& utf8, const Limits& limits, NameRules rules) {
  if (utf8.empty()) Refuse(ar::kUnsafeName, "an entry has an empty name");
  std::string name = utf8;
  std::replace(name.begin(), name.end(), '\\', '/');
  if (name.front() == '/') Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": absolute name");
  if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
    Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name starts with a drive letter");
  }
  std::string path;
  uint64_t depth = 0;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string_view part(name.data() + start, end - start);
    if (part == "..") Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name has a \"..\" component");
    if (!part.empty() && part != ".") {
      if (rules == NameRules::kWindows) CheckWindowsPart(part, utf8);
      if (part.size() > limits.name_component_bytes) {
        Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": a part of the name is longer than " +
                                    std::to_string(limits.name_component_bytes) + " bytes");
      }
      if (++depth > limits.name_depth) {
        Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name is more than " +
                                    std::to_string(limits.name_depth) + " folders deep");
      }
      if (!path.empty()) path += '/';
      path += part;
      if (path.size() > limits.name_path_bytes) {
        Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name is longer than " +
                                    std::to_string(limits.name_path_bytes) + " bytes");
      }
    }
    start = end + 1;
  }
  if (path.empty()) Refuse(ar::kUnsafeName, "entry " + Quoted(utf8) + ": the name names no file");
  return path;
}

Plan Survey(int fd, const Limits& limits, NameRules rules, const NameFold& fold) {
  const zip::Directory dir = zip::ReadDirectory(fd, limits.archive_entries, limits.archive_name_bytes);
  switch (dir.status) {
    case zip::DirectoryStatus::kOk:
      break;
    case zip::DirectoryStatus::kTooManyEntries:
      Refuse(ar::kTooLarge, dir.why + "; at most " + std::to_string(limits.archive_entries) + " are extracted");
    case zip::DirectoryStatus::kNamesTooLong:
      Refuse(ar::kUnsafeName, dir.why);
    case zip::DirectoryStatus::kNotZip:
    case zip::DirectoryStatus::kOverlap:
      Refuse(ar::kCannotOpen, "the archive is damaged: " + dir.why);
  }
  Plan plan;
  plan.archive_end = dir.archive_end;
  plan.end_record = dir.end_record;
  plan.entries.reserve(dir.entries.size());
  for (const zip::RawEntry& e : dir.entries) {
    for (const std::string* name : {&e.central_name, &e.local_name}) {
      if (name->find('\0') != std::string::npos) {
        Refuse(ar::kUnsafeName, "entry " + Quoted(*name) + ": the name holds a NUL byte");
      }
    }
    if (e.local_name.empty() || e.central_name.empty()) Refuse(ar::kUnsafeName, "an entry has an empty name");
    // Extra fields libarchive cannot read make it refuse the archive, whichever reader extracts it.
    for (const std::string* extra : {&e.local_extra, &e.central_extra}) {
      if (!zip::ExtraFieldsWellFormed(*extra)) {
        Refuse(ar::kCannotOpen, "the archive is damaged: entry " + Quoted(e.central_name) +
                                    " has extra fields that run past their end");
      }
    }
    // libarchive turns devices and fifos into plain files; the stored mode still says what they are.
    // A fifo is what Info-ZIP zip records for data it read from its standard input, so it is
    // extracted as the regular file of its data; devices and sockets are refused.
    const auto system = e.made_by >> 8;
    const uint32_t type = (e.external_attributes >> 16) & kTypeMask;
    if (system == zip::kMadeOnUnix) {
      if (type == kSocket) Refuse(ar::kUnsupportedEntry, "entry " + Quoted(e.central_name) + " is a socket");
      if (type == kLink) Refuse(ar::kUnsupportedEntry, "entry " + Quoted(e.central_name) + " is a symbolic link");
      if (type != 0 && type != kRegular && type != kFolder && type != kFifo) {
        Refuse(ar::kUnsupportedEntry, "entry " + Quoted(e.central_name) + " is a device or socket");
      }
    }
    const uint16_t flags = e.central_flags | e.local_flags;
    if ((flags & (zip::kFlagEncrypted | zip::kFlagStrongEncryption)) != 0 || e.method == zip::kMethodAes) {
      Refuse(ar::kEncrypted, "entry " + Quoted(e.central_name) + " is encrypted");
    }
    const std::string name = DecodeName(e);
    const bool ends_with_separator = name.back() == '/' || name.back() == '\\';
    // A folder as libarchive reads one: a name ending in a separator, a Unix folder mode, or the
    // MS-DOS folder attribute. Its data is never read (libarchive has none for a folder), so it
    // must have none: no compressed bytes, or a deflate stream that declares nothing. The size a
    // stored folder declares is not looked at; older macOS tools wrote the folder's size there.
    const bool folder = ends_with_separator || (system == zip::kMadeOnUnix && type == kFolder) ||
                        (system == 0 && (e.external_attributes & 0x10) != 0);
    if (folder && e.compressed_size > 0 && !(e.method != 0 && e.uncompressed_size == 0)) {
      Refuse(ar::kUnsafeName, "entry " + Quoted(name) + ": a folder that holds data");
    }
    // The in-memory reader takes only what it reads exactly as libarchive does: no data descriptor,
    // headers that agree, no zip64, and no ASi Unix field (0x756e), whose mode libarchive follows.
    const bool plain = (flags & zip::kFlagDataDescriptor) == 0 && e.local_name == e.central_name &&
                       e.local_method == e.method && e.local_crc32 == e.crc32 &&
                       e.local_compressed_size == e.compressed_size &&
                       e.local_uncompressed_size == e.uncompressed_size && e.compressed_size < 0xffffffff &&
                       e.uncompressed_size < 0xffffffff && !HasExtraField(e.central_extra, 0x756e) &&
                       !HasExtraField(e.local_extra, 0x756e);
    plan.entries.push_back(PlannedEntry{RelativePath(name, limits, rules), folder, e.method, e.crc32,
                                        e.compressed_size, e.uncompressed_size, e.data_offset, plain});
  }
  CheckNamesClash(plan.entries, fold);
  return plan;
}

void EntryData::Block(uint64_t offset, uint64_t size, uint64_t consumed) {
  produced_ = std::max(produced_, offset + size);
  total_ += size;
  if (total_ > limits_.archive_total_bytes) Refuse(ar::kTooLarge, TooLargeReason(limits_.archive_total_bytes));
  if (produced_ > declared_) {
    Refuse(ar::kCorruptData, "entry " + Quoted(rel_) + ": the data is damaged: it holds more than the " +
                                 std::to_string(declared_) + " bytes its headers declare");
  }
  if (produced_ > limits_.archive_ratio_exempt_bytes && produced_ / limits_.archive_ratio >= consumed + 1) {
    Refuse(ar::kTooLarge, "entry " + Quoted(rel_) + " expands more than " + std::to_string(limits_.archive_ratio) +
                              " times");
  }
}

void EntryData::End() const {
  if (produced_ != declared_) {
    Refuse(ar::kCorruptData, "entry " + Quoted(rel_) + ": the data is damaged: it holds " + std::to_string(produced_) +
                                 " bytes, its headers declare " + std::to_string(declared_));
  }
}

}  // namespace vardenix::archive_policy
