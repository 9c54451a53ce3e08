#include "hosting/component_records.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "hosting/component_module.h"
#include "hosting/component_process.h"
#include "vardenix/error.h"

namespace vardenix {
namespace fs = std::filesystem;
namespace {

constexpr const char* kExtension = ".component";
// A file name is at most 255 bytes on the usual file systems; leave room for the extension and
// the temporary suffix used while writing.
constexpr std::size_t kMaxEncodedName = 200;
// A record is a few lines; anything larger is not one.
constexpr std::uintmax_t kMaxRecordBytes = 64 * 1024;


std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string EncodeName(const std::string& prog_id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < prog_id.size(); ++i) {
    const auto c = static_cast<unsigned char>(prog_id[i]);
    const unsigned char lower = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
    const bool plain = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '_' ||
                       lower == '-' || (lower == '.' && i != 0);
    if (plain) {
      out += static_cast<char>(lower);
    } else {
      out += '%';
      out += kHex[lower >> 4];
      out += kHex[lower & 0xF];
    }
  }
  return out;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

fs::path NormalAbsolute(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  if (ec) p = path;
  return p.lexically_normal();
}

// Reads and parses the record file at `file`; `expected_key` (when not empty) is the ProgID key
// the file name stands for.
ComponentRecord ReadRecord(const std::string& file, const std::string& expected_key) {
  ComponentRecord record;
  record.file = file;
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec) {
    record.problem = "cannot read it: " + ec.message();
    return record;
  }
  if (size > kMaxRecordBytes) {
    record.problem = "it is " + std::to_string(size) + " bytes, too large to be a registration record";
    return record;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    record.problem = "cannot read it";
    return record;
  }
  std::string line;
  std::string program;
  std::vector<std::string> args;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    if (key == "progid") record.prog_id = line.substr(eq + 1);
    if (key == "module") record.module_path = line.substr(eq + 1);
    if (key == "program") program = line.substr(eq + 1);
    if (key == "arg") args.push_back(line.substr(eq + 1));
  }
  if (!program.empty()) {
    record.program.push_back(program);
    record.program.insert(record.program.end(), args.begin(), args.end());
  }
  if (in.bad()) {
    record.problem = "cannot read it";
  } else if (record.prog_id.empty()) {
    record.problem = "it has no progid= line";
  } else if (record.module_path.empty() && program.empty()) {
    record.problem = "it has no module= line (nor a program= line)";
  } else if (!record.module_path.empty() && !program.empty()) {
    record.problem = "it names both a module and a program";
  } else if (!record.module_path.empty() && record.module_path.front() != '/') {
    record.problem = "its module path " + record.module_path + " is not absolute";
  } else if (!program.empty() && program.front() != '/') {
    record.problem = "its program path " + program + " is not absolute";
  } else if (!expected_key.empty() && ProgIdKey(record.prog_id) != expected_key) {
    record.problem = "it names the ProgID " + Quote(record.prog_id) + ", not the one its file name stands for";
  }
  return record;
}

}  // namespace

std::string DefaultRegistryFolder(const std::string& xdg_data_home, const std::string& home) {
  if (!xdg_data_home.empty() && xdg_data_home.front() == '/') return JoinPath(xdg_data_home, "vardenix/registry");
  if (!home.empty()) return JoinPath(home, ".local/share/vardenix/registry");
  return std::string();
}

std::string ComponentRecordPath(const std::string& folder, const std::string& prog_id) {
  if (prog_id.empty()) throw RuntimeError("a registration record needs a ProgID, and the ProgID is empty");
  const std::string name = EncodeName(prog_id);
  if (name.size() > kMaxEncodedName) {
    throw RuntimeError("the ProgID " + Quote(prog_id) + " is too long for a registration record");
  }
  return JoinPath(folder, name + kExtension);
}

namespace {

// Writes the record file of `prog_id` with the `lines` after its progid line.
void WriteRecordFile(const std::string& folder, const std::string& prog_id, const std::string& lines) {
  if (folder.empty()) throw RuntimeError("cannot write a registration record: no registry folder was given");
  const std::string file = ComponentRecordPath(folder, prog_id);
  if (HasLineBreak(prog_id)) throw RuntimeError("the ProgID " + Quote(prog_id) + " holds a line break");
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw RuntimeError("cannot create the registry folder " + folder + ": " + ec.message());

  // Written beside the record and renamed over it, so that a reader sees the old record or the new.
  const std::string temp = file + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << "# Vardenix scoring-component registration\n"
        << "progid=" << prog_id << "\n"
        << lines;
    out.close();
    if (!out) {
      fs::remove(temp, ec);
      throw RuntimeError("cannot write " + temp + ": the file could not be created or written");
    }
  }
  fs::rename(temp, file, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw RuntimeError("cannot write " + file + ": " + ec.message());
  }
}

}  // namespace

void WriteComponentRecord(const std::string& folder, const std::string& prog_id,
                          const std::string& module_path) {
  if (module_path.empty() || module_path.front() != '/' || HasLineBreak(module_path)) {
    throw RuntimeError("cannot register " + Quote(prog_id) + ": the module path " + Quote(module_path) +
                       " must be absolute and on one line");
  }
  WriteRecordFile(folder, prog_id, "module=" + module_path + "\n");
}

ComponentRecord RegisterProgram(const std::string& folder, const std::string& prog_id, std::vector<std::string> argv) {
  if (argv.empty() || argv.front().empty()) {
    throw RuntimeError("cannot register " + Quote(prog_id) + ": no program was given");
  }
  std::string& program = argv.front();
  if (program.find('/') == std::string::npos) {
    const std::string found = FindInPath(program);
    if (found.empty()) throw RuntimeError("cannot register " + Quote(prog_id) + ": the program " + program + " is not found in PATH");
    program = found;
  }
  program = NormalAbsolute(program).string();
  if (::access(program.c_str(), X_OK) != 0) {
    throw RuntimeError("cannot register " + Quote(prog_id) + ": the program " + program + " is not an executable file");
  }
  std::string lines = "program=" + program + "\n";
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (HasLineBreak(argv[i])) {
      throw RuntimeError("cannot register " + Quote(prog_id) + ": the argument " + Quote(argv[i]) + " holds a line break");
    }
    lines += "arg=" + argv[i] + "\n";
  }
  WriteRecordFile(folder, prog_id, lines);
  return ComponentRecord{prog_id, {}, argv, ComponentRecordPath(folder, prog_id), {}};
}

std::optional<ComponentRecord> FindComponentRecord(const std::string& folder, const std::string& prog_id) {
  if (folder.empty() || prog_id.empty()) return std::nullopt;
  std::string file;
  try {
    file = ComponentRecordPath(folder, prog_id);
  } catch (const RuntimeError&) {
    return std::nullopt;  // no record can have that name
  }
  std::error_code ec;
  const auto status = fs::symlink_status(file, ec);
  if (ec || status.type() == fs::file_type::not_found) return std::nullopt;
  return ReadRecord(file, ProgIdKey(prog_id));
}

bool RemoveComponentRecord(const std::string& folder, const std::string& prog_id) {
  const std::string file = ComponentRecordPath(folder, prog_id);
  std::error_code ec;
  const bool removed = fs::remove(file, ec);
  if (ec) throw RuntimeError("cannot remove " + file + ": " + ec.message());
  return removed;
}

std::vector<ComponentRecord> ListComponentRecords(const std::string& folder) {
  std::vector<ComponentRecord> records;
  if (folder.empty()) return records;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return records;
    throw RuntimeError("cannot list the registry folder " + folder + ": " + ec.message());
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path& path = it->path();
    if (path.extension() != kExtension) continue;
    ComponentRecord record = ReadRecord(JoinPath(folder, path.filename().string()), std::string());
    if (record.problem.empty() && path.filename().string() != EncodeName(record.prog_id) + kExtension) {
      record.problem = "its file name does not stand for the ProgID " + Quote(record.prog_id) +
                       " (it is not found under that ProgID)";
    }
    records.push_back(std::move(record));
  }
  if (ec) throw RuntimeError("cannot list the registry folder " + folder + ": " + ec.message());
  std::sort(records.begin(), records.end(), [](const ComponentRecord& a, const ComponentRecord& b) {
    return std::tie(a.prog_id, a.file) < std::tie(b.prog_id, b.file);
  });
  return records;
}

std::vector<ComponentRecord> RegisterModule(const std::string& folder, const std::string& module_path) {
  const auto module = LoadComponentModule(module_path);
  std::vector<ComponentRecord> written;
  for (const auto& cls : module->classes) {
    WriteComponentRecord(folder, cls->prog_id, module->path);
    written.push_back({cls->prog_id, module->path, {}, ComponentRecordPath(folder, cls->prog_id), {}});
  }
  return written;
}

std::vector<ComponentRecord> UnregisterModule(const std::string& folder, const std::string& module_path) {
  const fs::path target = NormalAbsolute(module_path);
  std::vector<ComponentRecord> removed;
  for (ComponentRecord& record : ListComponentRecords(folder)) {
    if (record.module_path.empty() || NormalAbsolute(record.module_path) != target) continue;
    std::error_code ec;
    fs::remove(record.file, ec);
    if (ec) throw RuntimeError("cannot remove " + record.file + ": " + ec.message());
    removed.push_back(std::move(record));
  }
  return removed;
}

}  // namespace vardenix
