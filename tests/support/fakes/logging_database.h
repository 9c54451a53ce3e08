// A database engine that logs what is done with the databases and record sets it opens, and can
// fail a chosen "Close": a wrapper over another engine (the real one, usually), for tests of the
// order in which checks open, close and release them.
//
// Log lines: "open <file name>", "open <table>" for a record set (the table after the query's
// first "From"), "close <name>" (", failed" when made to fail; the wrapped object is then left
// open), and "release <name>" when the object is destroyed. Not thread-safe; the log and the
// engine it wraps must outlive every object it hands out.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/database.h"

namespace vardenix::fakes {

class LoggingDatabaseEngine final : public DatabaseEngine {
 public:
  explicit LoggingDatabaseEngine(DatabaseEngine& inner) : inner_(inner) {}
  using DatabaseEngine::OpenDatabase;
  std::unique_ptr<Database> OpenDatabase(const std::string& path, const Limits& limits,
                                         const StopFlag* stop) override;

  std::vector<std::string> log;
  // Names whose Close throws RuntimeError("injected failure of Close on <name>").
  std::set<std::string> fail_close;

 private:
  DatabaseEngine& inner_;
};

}  // namespace vardenix::fakes
