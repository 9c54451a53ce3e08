// Zipping a folder: the answer archives that `vardenix bank add-question --archive-dir` stores.
//
// The archive holds every folder and regular file under the folder, named relative to it with '/'
// separators, in byte order of those names, with UTF-8 names flagged as such, deflated, with a
// fixed time stamp and fixed modes: the same tree always gives the same bytes. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vardenix {

// The zip archive of the folder `dir` (the folder itself is not an entry; `dir` may be a symbolic
// link to it). Throws RuntimeError
// naming the path when `dir` is not a folder, when something under it cannot be read, when an
// entry is neither a folder nor a regular file (a symlink, a device: the archive control would
// refuse it), or when a name is not valid UTF-8.
std::vector<uint8_t> ZipFolder(const std::string& dir);

}  // namespace vardenix
