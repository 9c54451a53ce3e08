#include "tests/support/fakes/logging_database.h"

#include <algorithm>
#include <cctype>

#include "vardenix/error.h"

namespace vardenix::fakes {
namespace {

// The table a query reads: the word after its first "From", in any case.
std::string TableOf(const std::string& query) {
  std::string lower = query;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto from = lower.find(" from ");
  if (from == std::string::npos) return "?";
  const auto start = from + 6;
  const auto end = query.find_first_of(" ;", start);
  return query.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

struct Logger {
  LoggingDatabaseEngine& engine;
  std::string name;

  void Close(Closable& inner) {
    if (engine.fail_close.count(name) != 0) {
      engine.log.push_back("close " + name + ", failed");
      throw RuntimeError("injected failure of Close on " + name);
    }
    engine.log.push_back("close " + name);
    inner.Close();
  }
  void Release() { engine.log.push_back("release " + name); }
};

class LoggingRecordset final : public Recordset {
 public:
  LoggingRecordset(std::unique_ptr<Recordset> inner, Logger logger)
      : inner_(std::move(inner)), logger_(std::move(logger)) {}
  ~LoggingRecordset() override { logger_.Release(); }

  bool Bof() override { return inner_->Bof(); }
  bool Eof() override { return inner_->Eof(); }
  void MoveFirst() override { inner_->MoveFirst(); }
  void MoveLast() override { inner_->MoveLast(); }
  void Move(int32_t rows) override { inner_->Move(rows); }
  void MoveNext() override { inner_->MoveNext(); }
  int32_t RecordCount() override { return inner_->RecordCount(); }
  Variant Value(const std::string& field) override { return inner_->Value(field); }
  bool IsNull(const std::string& field) override { return inner_->IsNull(field); }
  int64_t FieldSize(const std::string& field) override { return inner_->FieldSize(field); }
  std::vector<uint8_t> GetChunk(const std::string& field, int64_t offset, int64_t count) override {
    return inner_->GetChunk(field, offset, count);
  }
  void Close() override { logger_.Close(*inner_); }

 private:
  std::unique_ptr<Recordset> inner_;
  Logger logger_;
};

class LoggingDatabase final : public Database {
 public:
  LoggingDatabase(std::unique_ptr<Database> inner, Logger logger)
      : inner_(std::move(inner)), logger_(std::move(logger)) {}
  ~LoggingDatabase() override { logger_.Release(); }

  std::unique_ptr<Recordset> OpenRecordset(const std::string& query, const std::vector<Variant>& params,
                                           uint64_t value_bytes) override {
    const std::string table = TableOf(query);
    auto inner = inner_->OpenRecordset(query, params, value_bytes);
    logger_.engine.log.push_back("open " + table);
    return std::make_unique<LoggingRecordset>(std::move(inner), Logger{logger_.engine, table});
  }
  void Close() override { logger_.Close(*inner_); }

 private:
  std::unique_ptr<Database> inner_;
  Logger logger_;
};

}  // namespace

std::unique_ptr<Database> LoggingDatabaseEngine::OpenDatabase(const std::string& path, const Limits& limits,
                                                               const StopFlag* stop) {
  const std::string name = path.substr(path.find_last_of('/') + 1);
  auto inner = inner_.OpenDatabase(path, limits, stop);
  log.push_back("open " + name);
  return std::make_unique<LoggingDatabase>(std::move(inner), Logger{*this, name});
}

}  // namespace vardenix::fakes
