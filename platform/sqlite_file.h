// Helpers shared by the code that opens SQLite files (the read-only engine here, the bank writer and
// editor in authoring/).
// Not for the checks: callers include sqlite3.h themselves.
#pragma once

#include <string>

namespace vardenix {

// The "file:" URI that names `path` exactly. This SQLite build reads every file name as a URI, so
// a plain name holding '?', '#' or '%', or starting with "file:", would otherwise be misread; with
// every other byte percent-encoded, any path opens the file it names.
std::string SqliteFileUri(const std::string& path);

}  // namespace vardenix
