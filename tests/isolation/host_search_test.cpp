// Where the component host is found when no host_path names it: $VARDENIX_COMPONENT_HOST, then next
// to the program or shared object that holds the library, then the configured installation, then
// PATH; and the `vardenix` command taking the variable before the host beside it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "hosting/component_isolation.h"
#include "tests/support/fakes/temp_dir.h"
#include "tests/support/fakes/zip_writer.h"
#include "support/command.h"

namespace vardenix {
namespace {

using fakes::TempDir;

void WriteProgram(const std::string& path, const std::string& text, mode_t mode = 0755) {
  fakes::MakeDirs(path.substr(0, path.rfind('/')));
  fakes::WriteFileText(path, text);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

TEST(ComponentHostSearch, EachPlaceInItsTurn) {
  TempDir dir;
  const std::string host = "vardenix-component-host";
  const std::string prefix = dir / "prefix";
  WriteProgram(prefix + "/bin/" + host, "#!/bin/sh\n");
  WriteProgram(dir / ("installed/" + host), "#!/bin/sh\n");
  WriteProgram(dir / ("on-path/" + host), "#!/bin/sh\n");
  WriteProgram(dir / ("not-executable/" + host), "#!/bin/sh\n", 0644);
  WriteProgram(dir / ("others-may-write/" + host), "#!/bin/sh\n", 0757);
  WriteProgram(dir / ("open-folder/" + host), "#!/bin/sh\n");
  ASSERT_EQ(::chmod((dir / "open-folder").c_str(), 01777), 0);
  fakes::MakeDirs(dir / ("a-folder/" + host));
  // The files the search starts from (their folders must be there for ../bin to lead anywhere).
  for (const char* file : {"/bin/app", "/libexec/app", "/lib/x86_64-linux-gnu/libapp.so",
                                  "/lib/x86_64-linux-gnu/app"}) {
    WriteProgram(prefix + file, "");
  }

  const std::string installed = dir / ("installed/" + host);
  const std::string missing = dir / ("nowhere/" + host);
  const std::string path = "relative:" + dir / "not-executable" + "::" + dir / "a-folder" + ":" +
                           dir / "others-may-write" + ":" + dir / "open-folder" + ":" + dir / "on-path";
  struct Row {
    const char* name;
    HostSearch search;
    std::string found;
  } rows[] = {
      {"the variable first, there or not", {missing, prefix + "/bin/app", true, "../bin", installed, path}, missing},
      {"beside a program in <prefix>/bin", {"", prefix + "/bin/app", true, "../bin", installed, path},
       prefix + "/bin/" + host},
      {"../bin of a program in <prefix>/libexec", {"", prefix + "/libexec/app", true, "../bin", installed, path},
       prefix + "/bin/" + host},
      {"<prefix>/bin of a shared object in a multiarch libdir",
       {"", prefix + "/lib/x86_64-linux-gnu/libapp.so", false, "../../bin", installed, path}, prefix + "/bin/" + host},
      {"a program is not taken for a library",
       {"", prefix + "/lib/x86_64-linux-gnu/app", true, "../../bin", installed, path}, installed},
      {"the installation when nothing is next to the program",
       {"", dir / "elsewhere/app", true, "../bin", installed, path}, installed},
      {"PATH: absolute, executable, and only this user or root may change them", {"", dir / "elsewhere/app", true, "../bin", missing, path},
       dir / ("on-path/" + host)},
      {"nowhere: the installation's path, for the message",
       {"", "", true, "../bin", missing, "relative:" + dir / "not-executable"}, missing},
  };
  for (const Row& row : rows) EXPECT_EQ(FindComponentHost(row.search), row.found) << row.name;
}

TEST(ComponentHostSearch, TheCommandTakesTheVariableBeforeTheHostBesideIt) {
  TempDir dir;
  fakes::WriteFileBytes(dir / "typical.zip", fakes::BuildZip({{"answer/", "", fakes::ZipEntryType::kFolder},
                                                              {"answer/report.txt", "done"}}));
  const std::vector<std::string> args = {"check", "--quiet", "--ping-name", "Hostile.Good", "--component",
                                         HOSTILE_MODULE, "--archive", dir / "typical.zip", "--rule-text", "perfect"};
  const std::vector<std::string> env = {"XDG_DATA_HOME=" + dir / "xdg", "TMPDIR=" + dir.path()};

  // A host that says it was used and then serves.
  const std::string wrapper = dir / "wrapper/host";
  WriteProgram(wrapper, "#!/bin/sh\n: >\"" + dir / "wrapper-ran" + "\"\nexec \"" + COMPONENT_HOST + "\" \"$@\"\n");
  std::vector<std::string> with_wrapper = env;
  with_wrapper.push_back("VARDENIX_COMPONENT_HOST=" + wrapper);
  const support::CommandOutcome wrapped = support::RunCommand(VARDENIX_BIN, args, dir.path(), with_wrapper);
  EXPECT_EQ(wrapped.status, 0) << wrapped.Describe();
  EXPECT_TRUE(fakes::PathExists(dir / "wrapper-ran")) << "the host beside the command was used instead";

  std::vector<std::string> with_missing = env;
  with_missing.push_back("VARDENIX_COMPONENT_HOST=" + dir / "no-such-host");
  const support::CommandOutcome failed = support::RunCommand(VARDENIX_BIN, args, dir.path(), with_missing);
  // The command cannot load the module without its host: it cannot run (exit 2), and says why.
  EXPECT_EQ(failed.status, 2) << failed.Describe();
  EXPECT_NE(failed.err.find("cannot start the component host " + dir / "no-such-host"), std::string::npos)
      << failed.err;
  EXPECT_NE(failed.err.find("(named by $VARDENIX_COMPONENT_HOST)"), std::string::npos) << failed.err;
}

}  // namespace
}  // namespace vardenix
