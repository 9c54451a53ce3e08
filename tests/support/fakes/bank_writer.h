// Raw SQL on a bank file, for tests that need a bank the BankWriter never writes: a table dropped,
// a foreign schema without NOCASE fields, values of unexpected types.
#pragma once

#include <memory>
#include <string>

namespace vardenix::fakes {

// Runs `sql` (one or more statements) on the SQLite file at `path`, opened read-write and created
// when missing. Throws RuntimeError with SQLite's message on failure.
void RunSqlOnBank(const std::string& path, const std::string& sql);

// A connection to a bank kept open, as another program writing the bank would keep it: for tests
// of reading a bank while someone else writes it.
class OpenBank {
 public:
  // Opens `path` read-write (it must exist). Throws RuntimeError with SQLite's message.
  explicit OpenBank(const std::string& path);
  ~OpenBank();
  OpenBank(const OpenBank&) = delete;
  OpenBank& operator=(const OpenBank&) = delete;
  // Runs `sql` on the open connection. Throws RuntimeError with SQLite's message.
  void Run(const std::string& sql);

 private:
  struct Connection;
  std::unique_ptr<Connection> connection_;
};

}  // namespace vardenix::fakes
