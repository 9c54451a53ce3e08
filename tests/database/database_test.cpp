// The SQLite database engine through its seam: opening files of every kind, record-set navigation,
// fields, bound parameters and the promise never to change a bank.
#include "platform/database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/fakes/bank_writer.h"
#include "tests/support/fakes/temp_dir.h"
#include "support/banks.h"
#include "support/failure.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

using support::Bytes;
using support::FailureOf;
using ::testing::HasSubstr;

std::unique_ptr<Database> Open(const std::string& path) { return SystemDatabaseEngine().OpenDatabase(path); }

// The kind of the DatabaseError `action` throws, in words, or what it did instead.
template <typename Action>
std::string KindOf(Action&& action) {
  try {
    action();
  } catch (const DatabaseError& e) {
    switch (e.kind()) {
      case DatabaseFailure::kStopped: return "stopped";
      case DatabaseFailure::kUnreadable: return "unreadable";
      case DatabaseFailure::kNotABank: return "not a bank";
      case DatabaseFailure::kLimit: return "limit";
      case DatabaseFailure::kQuery: return "query";
      case DatabaseFailure::kOther: return "other";
    }
  } catch (const RuntimeError& e) {
    return std::string("(no kind: ") + e.what() + ")";
  }
  return "(nothing thrown)";
}

// A bank with table T holding n = 1, 2, 3 for navigation; a query takes the first `rows` of them.
std::string NumbersBank(const fakes::TempDir& dir) {
  const std::string path = dir / "numbers.db";
  fakes::RunSqlOnBank(path, "CREATE TABLE T (n INTEGER); INSERT INTO T VALUES (1), (2), (3);");
  return path;
}

TEST(Recordset, NavigationFollowsTheRecordSetsTheChecksExpect) {
  struct Row {
    const char* name;
    int rows;
    std::vector<std::string> ops;  // "first", "last", "next", "move N"
    bool bof, eof;
    int32_t count;
    int current;                 // n of the current row; 0 at EOF
    bool last_op_fails = false;  // the last op throws "No current record" and changes nothing
  };
  const Row rows[] = {
      {"no rows", 0, {}, true, true, 0, 0},
      {"no rows: MoveFirst", 0, {"first"}, true, true, 0, 0, true},
      {"no rows: MoveLast", 0, {"last"}, true, true, 0, 0, true},
      {"no rows: MoveNext", 0, {"next"}, true, true, 0, 0, true},
      {"no rows: Move 0", 0, {"move 0"}, true, true, 0, 0, true},
      {"one row, fresh", 1, {}, false, false, 1, 1},
      {"one row: MoveNext reaches EOF", 1, {"next"}, false, true, 1, 0},
      {"one row: MoveNext at EOF", 1, {"next", "next"}, false, true, 1, 0, true},
      {"one row: MoveFirst from EOF", 1, {"next", "first"}, false, false, 1, 1},
      {"one row: Move 1 leaves the rows", 1, {"move 1"}, false, false, 1, 1, true},
      {"three rows, fresh: count is rows visited", 3, {}, false, false, 1, 1},
      {"three rows: MoveLast counts all", 3, {"last"}, false, false, 3, 3},
      {"three rows: count stays after MoveFirst", 3, {"last", "first"}, false, false, 3, 1},
      {"three rows: Move 0 stays", 3, {"move 0"}, false, false, 1, 1},
      {"three rows: Move 2 from the first", 3, {"move 2"}, false, false, 3, 3},
      {"three rows: Move 1 counts from the current row", 3, {"next", "move 1"}, false, false, 3, 3},
      {"three rows: Move 1 visits two", 3, {"move 1"}, false, false, 2, 2},
      {"three rows: Move back", 3, {"last", "move -2"}, false, false, 3, 1},
      {"three rows: Move past the last", 3, {"move 3"}, false, false, 1, 1, true},
      {"three rows: Move before the first", 3, {"next", "move -2"}, false, false, 2, 2, true},
      {"three rows: MoveNext from the last reaches EOF", 3, {"next", "next", "next"}, false, true, 3, 0},
      {"three rows: Move at EOF", 3, {"last", "next", "move -1"}, false, true, 3, 0, true},
      {"three rows: MoveNext at EOF", 3, {"last", "next", "next"}, false, true, 3, 0, true},
      {"three rows: MoveLast from EOF", 3, {"last", "next", "last"}, false, false, 3, 3},
  };
  fakes::TempDir dir;
  auto db = Open(NumbersBank(dir));
  for (const Row& row : rows) {
    auto rs = db->OpenRecordset("SELECT n FROM T WHERE n <= ? ORDER BY n", {Variant::I4(row.rows)});
    for (std::size_t i = 0; i < row.ops.size(); ++i) {
      const std::string& op = row.ops[i];
      const auto run = [&] {
        if (op == "first")
          rs->MoveFirst();
        else if (op == "last")
          rs->MoveLast();
        else if (op == "next")
          rs->MoveNext();
        else
          rs->Move(std::stoi(op.substr(5)));
      };
      if (row.last_op_fails && i + 1 == row.ops.size()) {
        EXPECT_EQ(FailureOf(run), "No current record") << row.name;
      } else {
        run();
      }
    }
    EXPECT_EQ(rs->Bof(), row.bof) << row.name;
    EXPECT_EQ(rs->Eof(), row.eof) << row.name;
    EXPECT_EQ(rs->RecordCount(), row.count) << row.name;
    if (row.current > 0) {
      EXPECT_EQ(Describe(rs->Value("n")), Describe(Variant::I4(row.current))) << row.name;
    } else {
      EXPECT_EQ(FailureOf([&] { rs->Value("n"); }), "No current record") << row.name;
      EXPECT_EQ(FailureOf([&] { rs->IsNull("n"); }), "No current record") << row.name;
      EXPECT_EQ(FailureOf([&] { rs->FieldSize("n"); }), "No current record") << row.name;
    }
  }
}

TEST(Recordset, FieldsKeepTheirTypesAndBytes) {
  fakes::TempDir dir;
  const std::string path = dir / "values.db";
  fakes::RunSqlOnBank(
      path,
      "CREATE TABLE V (C_Text TEXT, C_Nul TEXT, I_Small INTEGER, I_Big INTEGER, R_Real REAL, "
      "C_Null TEXT, O_Blob BLOB, O_Empty BLOB, O_Null BLOB);"
      "INSERT INTO V VALUES ('操作题 ok', CAST(X'610062' AS TEXT), -7, 4294967296, 0.5, NULL, "
      "X'00FF10', X'', NULL);");
  auto rs = Open(path)->OpenRecordset("SELECT * FROM V");
  struct Row {
    const char* field;
    Variant value;
    int64_t size;
  };
  const Row rows[] = {
      {"C_Text", Variant::Text("操作题 ok"), 12},
      {"C_Nul", Variant::Text(std::string("a\0b", 3)), 3},
      {"I_Small", Variant::I4(-7), -1},
      {"I_Big", Variant::R8(4294967296.0), -1},  // beyond 32 bits
      {"R_Real", Variant::R8(0.5), -1},
      {"C_Null", Variant::Null(), 0},
      {"O_Blob", Variant::Text(std::string("\x00\xFF\x10", 3)), 3},  // a blob's Value is its bytes
      {"O_Empty", Variant::Text(""), 0},                             // empty, not Null
      {"O_Null", Variant::Null(), 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Describe(rs->Value(row.field)), Describe(row.value)) << row.field;
    EXPECT_EQ(rs->IsNull(row.field), row.value.IsNull()) << row.field;
    if (row.size >= 0) {
      EXPECT_EQ(rs->FieldSize(row.field), row.size) << row.field;
      const auto chunk = rs->GetChunk(row.field, 0, row.size);
      EXPECT_EQ(chunk.size(), static_cast<std::size_t>(row.size)) << row.field;
    } else {
      EXPECT_THAT(FailureOf([&] { rs->FieldSize(row.field); }), HasSubstr(row.field)) << row.field;
    }
  }
}

TEST(Recordset, FieldNamesIgnoreCaseAndUnknownOnesAreNamed) {
  fakes::TempDir dir;
  const std::string path = support::WriteSubjectBank(dir / "s.db", {{"Word", "W-1", "ans", Bytes("zip")}});
  auto rs = Open(path)->OpenRecordset("Select * From Tbl_Operation");
  for (const char* name : {"C_RecNo", "c_recno", "C_RECNO", "c_RecNO"}) {
    EXPECT_EQ(Describe(rs->Value(name)), Describe(Variant::Text("W-1"))) << name;
  }
  EXPECT_THAT(FailureOf([&] { rs->Value("C_Missing"); }), HasSubstr("C_Missing"));
  EXPECT_THAT(FailureOf([&] { rs->GetChunk("o_rudecont_x", 0, 1); }), HasSubstr("o_rudecont_x"));
}

TEST(Recordset, GetChunkAnswersTheBytesAskedFor) {
  fakes::TempDir dir;
  // Large enough to span many pages of the file, with every byte value in it.
  std::vector<uint8_t> content(3 * 1024 * 1024 + 17);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 131 + i / 7);
  const std::string path = support::WriteSubjectBank(dir / "s.db", {{"Word", "W-1", "ans", content}});
  auto rs = Open(path)->OpenRecordset("Select * From Tbl_Operation");
  const auto size = static_cast<int64_t>(content.size());
  ASSERT_EQ(rs->FieldSize("O_Rudecont"), size);

  struct Row {
    const char* name;
    int64_t offset, count;
    int64_t want_from, want_to;  // the expected bytes are content[want_from, want_to)
  };
  const Row rows[] = {
      {"whole", 0, size, 0, size},
      {"middle", 1000, 5000, 1000, 6000},
      {"past the end is clipped", size - 3, 100, size - 3, size},
      {"from beyond the end", size + 5, 10, size, size},
      {"nothing", 10, 0, 10, 10},
  };
  for (const Row& row : rows) {
    const auto chunk = rs->GetChunk("O_Rudecont", row.offset, row.count);
    const std::vector<uint8_t> want(content.begin() + row.want_from, content.begin() + row.want_to);
    EXPECT_TRUE(chunk == want) << row.name << ": got " << chunk.size() << " bytes";
  }
  EXPECT_THAT(FailureOf([&] { rs->GetChunk("O_Rudecont", -1, 10); }), HasSubstr("O_Rudecont"));
  EXPECT_THAT(FailureOf([&] { rs->GetChunk("O_Rudecont", 0, -1); }), HasSubstr("O_Rudecont"));
}

TEST(Recordset, NullContentIsNullWithNoBytes) {
  fakes::TempDir dir;
  const std::string path =
      support::WriteSubjectBank(dir / "s.db", {{"Word", "W-1", std::nullopt, std::nullopt}});
  auto rs = Open(path)->OpenRecordset("Select * From Tbl_Operation");
  EXPECT_TRUE(rs->IsNull("O_Rudecont"));
  EXPECT_TRUE(rs->IsNull("M_Answer"));
  EXPECT_EQ(rs->FieldSize("O_Rudecont"), 0);
  EXPECT_TRUE(rs->GetChunk("O_Rudecont", 0, 10).empty());
}

TEST(Recordset, CloseIsIdempotentAndEndsEveryOtherCall) {
  fakes::TempDir dir;
  auto db = Open(NumbersBank(dir));
  auto rs = db->OpenRecordset("SELECT n FROM T");
  rs->Close();
  rs->Close();
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"Bof", [&] { rs->Bof(); }},
      {"Eof", [&] { rs->Eof(); }},
      {"MoveFirst", [&] { rs->MoveFirst(); }},
      {"MoveLast", [&] { rs->MoveLast(); }},
      {"Move", [&] { rs->Move(0); }},
      {"MoveNext", [&] { rs->MoveNext(); }},
      {"RecordCount", [&] { rs->RecordCount(); }},
      {"Value", [&] { rs->Value("n"); }},
      {"IsNull", [&] { rs->IsNull("n"); }},
      {"FieldSize", [&] { rs->FieldSize("n"); }},
      {"GetChunk", [&] { rs->GetChunk("n", 0, 1); }},
  };
  for (const auto& [name, call] : calls) EXPECT_THAT(FailureOf(call), HasSubstr("closed")) << name;

  db->Close();
  db->Close();
  EXPECT_THAT(FailureOf([&] { db->OpenRecordset("SELECT n FROM T"); }), HasSubstr("closed"));
}

// The subject check releases its module list after it has closed the total bank.
TEST(Recordset, OutlivesTheDatabaseThatOpenedIt) {
  fakes::TempDir dir;
  auto db = Open(NumbersBank(dir));
  auto rs = db->OpenRecordset("SELECT n FROM T ORDER BY n");
  db->Close();
  db.reset();
  rs->MoveLast();
  EXPECT_EQ(rs->RecordCount(), 3);
  EXPECT_EQ(Describe(rs->Value("n")), Describe(Variant::I4(3)));
  rs->Close();
}

TEST(Database, OpeningTellsTheKindOfFile) {
  std::vector<uint8_t> jet = {0x00, 0x01, 0x00, 0x00};
  for (char c : std::string("Standard Jet DB")) jet.push_back(static_cast<uint8_t>(c));
  jet.resize(2048, 0);
  struct Row {
    const char* name;
    std::function<std::string(const fakes::TempDir&)> make;  // answers the path to open
    const char* why;                                         // "" when the file opens
    const char* kind;                                        // of the DatabaseError
  };
  const Row rows[] = {
      {"missing file", [](const fakes::TempDir& d) { return d / "missing.db"; }, "No such file or directory",
       "unreadable"},
      // A message that holds the stop's words is still no stop: the kind tells.
      {"missing file named like a stop", [](const fakes::TempDir& d) { return d / kStoppedDescription; },
       "No such file or directory", "unreadable"},
      {"folder", [](const fakes::TempDir& d) { return d.path(); }, "it is a folder", "unreadable"},
      {"empty file",
       [](const fakes::TempDir& d) {
         fakes::WriteFileBytes(d / "empty.db", {});
         return d / "empty.db";
       },
       "the file is empty", "not a bank"},
      {"Jet database",
       [&](const fakes::TempDir& d) {
         fakes::WriteFileBytes(d / "bank.mdb", jet);
         return d / "bank.mdb";
       },
       "a Jet (.mdb) database, which this build cannot read", "not a bank"},
      {"zip archive",
       [](const fakes::TempDir& d) {
         fakes::WriteFileBytes(d / "bank.zip", Bytes(std::string("PK\x03\x04\x14\x00\x00\x00rest", 12)));
         return d / "bank.zip";
       },
       "not a database (starts with 50 4B 03 04 14 00 00 00)", "not a bank"},
      {"shorter than the SQLite header",
       [](const fakes::TempDir& d) {
         fakes::WriteFileText(d / "short.db", "SQLite");
         return d / "short.db";
       },
       "not a database (starts with 53 51 4C 69 74 65)", "not a bank"},
      {"SQLite header, damaged body",
       [](const fakes::TempDir& d) {
         std::vector<uint8_t> bytes = Bytes(std::string("SQLite format 3\0", 16));
         bytes.resize(4096, 0xEE);
         fakes::WriteFileBytes(d / "damaged.db", bytes);
         return d / "damaged.db";
       },
       "database", "not a bank"},  // SQLite's own words about the damage
      {"bank whose name looks like a URI",
       [](const fakes::TempDir& d) {
         return support::WriteSubjectBank(d / "file:we?ird#name%41&mode=rwc.db",
                                          {{"M", "R", "A", Bytes("Z")}});
       },
       "", ""},
  };
  for (const Row& row : rows) {
    fakes::TempDir dir;
    const std::string path = row.make(dir);
    const auto open = [&] { Open(path)->OpenRecordset("Select * From Tbl_Operation"); };
    const std::string error = FailureOf(open);
    if (*row.why == '\0') {
      EXPECT_EQ(error, "(nothing thrown)") << row.name;
    } else {
      EXPECT_THAT(error, HasSubstr(path)) << row.name;
      EXPECT_THAT(error, HasSubstr(row.why)) << row.name;
      EXPECT_EQ(KindOf(open), row.kind) << row.name;
    }
  }
}

// A small bank can ask for an endless result: every record set is bounded in rows, bytes and time,
// and a host's stop flag stops a running query. Each failure names the bank and the limit.
TEST(Database, LimitsBoundWhatAQueryMayTake) {
  fakes::TempDir dir;
  const std::string path = dir / "hostile.db";
  fakes::RunSqlOnBank(path,
                      "CREATE VIEW Endless AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
                      "SELECT 'm' AS C_Module, 'R' || n AS C_RecNo FROM r;"
                      "CREATE VIEW Never AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
                      "SELECT n FROM r WHERE n < 0;"
                      "CREATE TABLE Blobs (b BLOB); INSERT INTO Blobs VALUES (zeroblob(10000));"
                      "CREATE TABLE T (n INTEGER); INSERT INTO T VALUES (1), (2), (3);");
  const auto limits = [](const std::function<void(Limits&)>& change) {
    Limits l;
    change(l);
    return l;
  };
  struct Row {
    const char* name;
    const char* table;
    Limits limits;
    bool stop;
    std::string why;  // "" when the query succeeds
    const char* kind = "limit";
  };
  const Row rows[] = {
      {"an endless view stops at the row limit", "Endless", limits([](Limits& l) { l.recordset_rows = 1000; }), false,
       "the limit of 1000 rows for one record set"},
      {"as many rows as the limit", "T", limits([](Limits& l) { l.recordset_rows = 3; }), false, ""},
      {"one row past the limit", "T", limits([](Limits& l) { l.recordset_rows = 2; }), false,
       "the limit of 2 rows for one record set"},
      {"an endless view stops at the byte limit", "Endless", limits([](Limits& l) { l.recordset_bytes = 65536; }),
       false, "the limit of 65536 bytes for one record set"},
      {"one value past the byte limit", "Blobs", limits([](Limits& l) { l.recordset_bytes = 4096; }), false,
       "the limit of 4096 bytes for one record set"},
      {"a value inside the byte limit", "Blobs", limits([](Limits& l) { l.recordset_bytes = 20000; }), false, ""},
      {"a query that never yields a row stops at the time limit", "Never",
       limits([](Limits& l) { l.query_seconds = 1; }), false, "a query ran past the time limit of 1 s"},
      {"the stop flag stops a running query", "Never", Limits(), true, kStoppedDescription, "stopped"},
  };
  for (const Row& row : rows) {
    StopFlag stop(row.stop);
    auto db = SystemDatabaseEngine().OpenDatabase(path, row.limits, &stop);
    const auto query = [&] { db->OpenRecordset(std::string("SELECT * FROM ") + row.table); };
    const std::string error = FailureOf(query);
    if (row.why.empty()) {
      EXPECT_EQ(error, "(nothing thrown)") << row.name;
    } else {
      EXPECT_THAT(error, HasSubstr(row.why)) << row.name;
      EXPECT_EQ(KindOf(query), row.kind) << row.name;
      if (!row.stop) {
        EXPECT_THAT(error, HasSubstr(path)) << row.name;
      }
    }
  }
}

std::string WalBank(const std::string& path) {
  support::WriteSubjectBank(path, {{"M", "R1", "A", Bytes("Z")}});
  fakes::RunSqlOnBank(path, "PRAGMA journal_mode=WAL");
  return path;
}

std::vector<std::string> RecordNumbers(Database& db) {
  auto rs = db.OpenRecordset("SELECT C_RecNo FROM Tbl_Public ORDER BY rowid");
  std::vector<std::string> numbers;
  for (; !rs->Eof(); rs->MoveNext()) numbers.push_back(ToText(rs->Value("C_RecNo")));
  return numbers;
}

// A WAL bank is read without a write to any of its files: the bank, its -wal and its -shm file are
// byte for byte what they were, and none is made or removed. Its rows are read when its -wal file
// holds nothing the bank lacks; when it holds changes (a writer at work, a bank copied with its
// -wal file), reading them would need a write, so the bank is refused saying what to do.
TEST(Database, WalBankIsReadWithoutAWriteToAnyOfItsFiles) {
  struct Row {
    const char* name;
    void (*arrange)(const std::string& path, std::unique_ptr<fakes::OpenBank>& writer);
    bool read;  // false: refused
  };
  const Row rows[] = {
      {"no -wal file", [](const std::string&, std::unique_ptr<fakes::OpenBank>&) {}, true},
      {"an empty -wal file and a -shm file",
       [](const std::string& path, std::unique_ptr<fakes::OpenBank>&) {
         fakes::WriteFileBytes(path + "-wal", {});
         fakes::WriteFileBytes(path + "-shm", std::vector<uint8_t>(32768, 0));
       },
       true},
      {"a writer at work, its changes committed in the -wal file",
       [](const std::string& path, std::unique_ptr<fakes::OpenBank>& writer) {
         writer = std::make_unique<fakes::OpenBank>(path);
         writer->Run("PRAGMA wal_autocheckpoint=0; INSERT INTO Tbl_Public VALUES ('M', 'R2')");
       },
       false},
      {"a bank copied with its -wal file",
       [](const std::string& path, std::unique_ptr<fakes::OpenBank>&) {
         const std::string source = WalBank(path + ".source");
         fakes::OpenBank writer(source);
         writer.Run("PRAGMA wal_autocheckpoint=0; INSERT INTO Tbl_Public VALUES ('M', 'R2')");
         fakes::WriteFileBytes(path, fakes::ReadFileBytes(source));
         fakes::WriteFileBytes(path + "-wal", fakes::ReadFileBytes(source + "-wal"));
       },
       false},
  };
  for (const Row& row : rows) {
    fakes::TempDir dir;
    const std::string path = WalBank(dir / "subject.db");
    std::unique_ptr<fakes::OpenBank> writer;
    row.arrange(path, writer);
    const auto files = [&] {
      std::vector<std::string> state;
      for (const std::string& name : fakes::ListTree(dir.path())) {
        const std::vector<uint8_t> bytes = fakes::ReadFileBytes(dir / name);
        state.push_back(name + " " + std::string(bytes.begin(), bytes.end()));
      }
      return state;
    };
    const std::vector<std::string> before = files();
    const std::string failure = FailureOf([&] {
      if (RecordNumbers(*Open(path)) != std::vector<std::string>{"R1"}) throw RuntimeError("read the wrong rows");
    });
    if (row.read) {
      EXPECT_EQ(failure, "(nothing thrown)") << row.name;
    } else {
      EXPECT_THAT(failure, HasSubstr(path)) << row.name;
      EXPECT_THAT(failure, HasSubstr("its -wal file holds changes")) << row.name;
      EXPECT_THAT(failure, HasSubstr("PRAGMA journal_mode=DELETE")) << row.name;
    }
    EXPECT_TRUE(files() == before) << row.name << ": the bank's files changed";
  }
}

// What `action` answers when run by a user who cannot write `folder` (root cannot be kept out by
// modes, so as root it runs in a child process as nobody); "SKIP: ..." when the folder stays writable.
std::string InReadOnlyFolder(const std::string& folder, const std::function<std::string()>& action) {
  int out[2];
  if (::pipe(out) != 0) return "SKIP: no pipe";
  ::chmod(folder.c_str(), 0555);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    std::string answer;
    if (::geteuid() == 0 && (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
      answer = "SKIP: cannot drop root";
    } else if (const int fd = ::open((folder + "/probe").c_str(), O_CREAT | O_WRONLY, 0644); fd >= 0) {
      ::close(fd);
      answer = "SKIP: the folder stays writable";
    } else {
      answer = action();
    }
    const ssize_t written = ::write(out[1], answer.data(), answer.size());
    ::_exit(written == static_cast<ssize_t>(answer.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::chmod(folder.c_str(), 0755);
  return answer;
}

// On read-only media a WAL bank is read as it stands, unless its -wal file holds changes that
// cannot be read there, which is said.
TEST(Database, WalBankOnReadOnlyMediaIsReadOrRefusedWithTheReason) {
  fakes::TempDir dir;
  ::chmod(dir.path().c_str(), 0755);  // reachable by the unprivileged child
  const std::string folder = dir / "media";
  fakes::MakeDirs(folder);
  const std::string path = WalBank(folder + "/subject.db");
  const auto read = [&] {
    std::string answer = FailureOf([&] {
      std::vector<std::string> numbers = RecordNumbers(*Open(path));
      if (numbers != std::vector<std::string>{"R1"}) throw RuntimeError("read the wrong rows");
    });
    for (const std::string& name : fakes::ListTree(folder)) answer += " | " + name;
    return answer;
  };
  std::string answer = InReadOnlyFolder(folder, read);
  if (answer.rfind("SKIP", 0) == 0) GTEST_SKIP() << answer;
  EXPECT_EQ(answer, "(nothing thrown) | subject.db");

  // The bank copied with its -wal file while a writer held changes in it, as onto a disc.
  const std::string source = WalBank(dir / "source.db");
  fakes::OpenBank writer(source);
  writer.Run("PRAGMA wal_autocheckpoint=0; INSERT INTO Tbl_Public VALUES ('M', 'R2')");
  fakes::WriteFileBytes(path, fakes::ReadFileBytes(source));
  fakes::WriteFileBytes(path + "-wal", fakes::ReadFileBytes(source + "-wal"));
  answer = InReadOnlyFolder(folder, read);
  EXPECT_THAT(answer, HasSubstr(path)) << answer;
  EXPECT_THAT(answer, HasSubstr("its -wal file holds changes")) << answer;
  EXPECT_THAT(answer, HasSubstr(" | subject.db | subject.db-wal")) << answer;
}

TEST(Database, RejectedQueriesCarrySqliteMessage) {
  fakes::TempDir dir;
  const std::string total = support::WriteTotalBank(dir / "total.db", support::OperationModules("S", {"M"}));
  auto db = Open(total);
  struct Row {
    std::string query;
    std::vector<Variant> params;
    std::string why;
  };
  const Row rows[] = {
      {"Select * From Tbl_Operation Where C_RecNo=?", {Variant::Text("1")}, "no such table: Tbl_Operation"},
      {"Select M_Answer From Tbl_Contract", {}, "no such column: M_Answer"},
      // The words of a stop in a rejected query do not make it one.
      {std::string("Select * From \"") + kStoppedDescription + "\"", {},
       std::string("no such table: ") + kStoppedDescription},
      {"Select C_Module From Tbl_Contract Where C_DataCode=?", {}, "1 parameters but 0 values"},
      {"Delete From Tbl_Contract", {}, "the query would change the question bank"},
      {"Select 1; Select 2", {}, "the query holds more than one statement"},
  };
  for (const Row& row : rows) {
    const auto query = [&] { db->OpenRecordset(row.query, row.params); };
    EXPECT_THAT(FailureOf(query), HasSubstr(row.why)) << row.query;
    EXPECT_EQ(KindOf(query), "query") << row.query;
  }
  EXPECT_EQ(FailureOf([&] { db->OpenRecordset("Select * From Tbl_Operation"); }), "no such table: Tbl_Operation");
}

// A subject bank holding each hostile value as a record number of its own, next to ordinary ones.
TEST(Database, BoundValuesMatchLiterallyAndTheBankIsNeverChanged) {
  const std::vector<std::string> hostile = {"'",
                                            "' OR 1=1 --",
                                            "W-1' OR '1'='1",
                                            ";",
                                            "W-1; DROP TABLE Tbl_Public",
                                            std::string("W-1\0' OR 1=1 --", 15)};
  fakes::TempDir dir;
  std::vector<support::Question> questions = {{"Word", "W-1", "plain", Bytes("zip")},
                                              {"Word", "W-2", "plain", Bytes("zip")}};
  for (const std::string& value : hostile)
    questions.push_back({value, value, "hostile " + value, Bytes("zip")});
  const std::string path = support::WriteSubjectBank(dir / "subject.db", questions);
  const std::vector<uint8_t> before = fakes::ReadFileBytes(path);

  auto db = Open(path);
  for (const std::string& value : hostile) {
    for (const char* query : {"Select * From Tbl_Operation Where C_RecNo=? COLLATE NOCASE",
                              "Select * From Tbl_Public Where C_Module=? COLLATE NOCASE"}) {
      auto rs = db->OpenRecordset(query, {Variant::Text(value)});
      rs->MoveLast();
      EXPECT_EQ(rs->RecordCount(), 1) << query << " with " << value;
      EXPECT_EQ(Describe(rs->Value("C_RecNo")), Describe(Variant::Text(value))) << query << " with " << value;
    }
    // Not stored, so nothing matches, however the value is spelled.
    auto rs = db->OpenRecordset("Select * From Tbl_Operation Where C_RecNo=?", {Variant::Text(value + "x")});
    EXPECT_TRUE(rs->Bof() && rs->Eof()) << value;
  }

  const std::vector<std::string> writes = {
      "Delete From Tbl_Operation",
      "Drop Table Tbl_Public",
      "Update Tbl_Operation Set M_Answer='x'",
      "PRAGMA user_version=7",
      "Select 1; Delete From Tbl_Operation",
      "ATTACH 'other.db' AS other",
      "CREATE TEMP TABLE t (x)",
  };
  for (const std::string& query : writes)
    EXPECT_NE(FailureOf([&] { db->OpenRecordset(query); }), "(nothing thrown)") << query;
  db->Close();

  EXPECT_TRUE(fakes::ReadFileBytes(path) == before);
  EXPECT_EQ(fakes::ListTree(dir.path()), std::vector<std::string>{"subject.db"});  // no journal left behind
}

TEST(Database, TextEqualityIgnoresCaseOfLetters) {
  fakes::TempDir dir;
  const std::string ours = support::WriteSubjectBank(dir / "ours.db", {{"Word", "Ab-1", "a", Bytes("z")}});
  // A bank made elsewhere, whose fields were declared without a collation.
  const std::string foreign = dir / "foreign.db";
  fakes::RunSqlOnBank(foreign,
                      "CREATE TABLE Tbl_Operation (C_RecNo TEXT, M_Answer TEXT, O_Rudecont BLOB);"
                      "INSERT INTO Tbl_Operation VALUES ('Ab-1', 'a', X'7A');");
  struct Row {
    const char* name;
    std::string bank, query, value;
    int32_t rows;
  };
  const Row rows[] = {
      {"our bank, same case", ours, "Select * From Tbl_Operation Where C_RecNo=? COLLATE NOCASE", "Ab-1", 1},
      {"our bank, other case", ours, "Select * From Tbl_Operation Where C_RecNo=? COLLATE NOCASE", "aB-1", 1},
      {"our bank, no COLLATE in the query", ours, "Select * From Tbl_Operation Where C_RecNo=?", "AB-1", 1},
      {"our bank, different text", ours, "Select * From Tbl_Operation Where C_RecNo=? COLLATE NOCASE", "Ab-2",
       0},
      {"foreign bank, other case", foreign, "Select * From Tbl_Operation Where C_RecNo=? COLLATE NOCASE",
       "ab-1", 1},
  };
  for (const Row& row : rows) {
    auto rs = Open(row.bank)->OpenRecordset(row.query, {Variant::Text(row.value)});
    EXPECT_EQ(rs->RecordCount(), row.rows) << row.name;
  }
}

}  // namespace
}  // namespace vardenix
