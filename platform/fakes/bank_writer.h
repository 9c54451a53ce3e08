// Raw SQL on a bank file, for tests that need a bank the BankWriter never writes: a table dropped,
// a foreign schema without NOCASE fields, values of unexpected types.
#pragma once

#include <string>

namespace vardenix::fakes {

// Runs `sql` (one or more statements) on the SQLite file at `path`, opened read-write and created
// when missing. Throws RuntimeError with SQLite's message on failure.
void RunSqlOnBank(const std::string& path, const std::string& sql);

}  // namespace vardenix::fakes
