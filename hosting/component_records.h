// Registration records: which module holds the scoring component of a ProgID, kept as small text
// files in a registry folder that the host names. `vardenix register`, `unregister` and
// `components` are built on these functions; the class registry reads the records last.
//
// One file per ProgID, `<folder>/<name>.component`, where <name> is the ProgID in lower case
// (ProgIDs compare without regard to case) with every byte other than a-z, 0-9, '.', '_' and '-'
// (and a leading '.') written as %XX. The file is UTF-8 text of `key=value` lines; empty lines and
// lines starting with '#' are comments, and unknown keys are ignored so that later versions can
// add some:
//     # Vardenix scoring-component registration
//     progid=Acme.WordScorer.1
//     module=/opt/acme/lib/libwordscorer.so
// `progid` is the ProgID as the module spells it; `module` is the absolute path of the module.
// A program component's record has, instead of `module`, its command line: `program` (the absolute
// path of the program) and one `arg` line per argument, in order:
//     progid=Acme.PyCheck
//     program=/usr/bin/python3
//     arg=/opt/acme/pycheck.py
//
// The library never picks a folder of its own; DefaultRegistryFolder gives the one the command
// uses. Records are written whole (a temporary file renamed into place), so a reader never sees
// half of one. Every function throws RuntimeError naming the file or folder when the file system
// fails.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vardenix {

struct ComponentRecord {
  std::string prog_id;      // as the record spells it
  std::string module_path;  // absolute; empty for a program component
  std::vector<std::string> program;  // a program component's command line, program first; else empty
  std::string file;         // the record's own path
  std::string problem;      // why the record cannot be used; empty when it can
};

// $XDG_DATA_HOME/vardenix/registry when `xdg_data_home` is an absolute path, otherwise
// `home`/.local/share/vardenix/registry; empty when neither is usable. The caller reads the
// environment and passes the values (empty when unset).
std::string DefaultRegistryFolder(const std::string& xdg_data_home, const std::string& home);

// The record file of `prog_id` in `folder`. Throws RuntimeError for an empty ProgID or one too
// long to be a file name.
std::string ComponentRecordPath(const std::string& folder, const std::string& prog_id);

// Writes (or replaces) the record of `prog_id`, creating the folder if needed. `module_path` must
// be absolute and neither value may hold a line break.
void WriteComponentRecord(const std::string& folder, const std::string& prog_id,
                          const std::string& module_path);

// The record of `prog_id`, or nothing when there is none. A record that exists but cannot be used
// (unreadable, malformed, naming another ProgID) is answered with its `problem` set.
std::optional<ComponentRecord> FindComponentRecord(const std::string& folder, const std::string& prog_id);

// Writes (or replaces) the record of a program component: `argv` is its command line, whose first
// element is looked up in PATH when it has no slash and recorded as an absolute path. Answers the
// record written. Throws RuntimeError when the program is not found or not executable, or a value
// holds a line break.
ComponentRecord RegisterProgram(const std::string& folder, const std::string& prog_id, std::vector<std::string> argv);

// Removes the record of `prog_id`; false when there was none.
bool RemoveComponentRecord(const std::string& folder, const std::string& prog_id);

// Every record in `folder`, sorted by ProgID, with problems marked; empty when the folder is missing.
std::vector<ComponentRecord> ListComponentRecords(const std::string& folder);

// Loads the module at `module_path` (into this process, for good), and writes one record for each
// of its classes, naming the module by its absolute path. Answers the records written. Throws
// RuntimeError when the module is refused or a record cannot be written.
std::vector<ComponentRecord> RegisterModule(const std::string& folder, const std::string& module_path);

// Removes every record that names the module at `module_path` (compared as absolute, normalised
// paths, also when the module file is gone). Answers the records removed.
std::vector<ComponentRecord> UnregisterModule(const std::string& folder, const std::string& module_path);

}  // namespace vardenix
