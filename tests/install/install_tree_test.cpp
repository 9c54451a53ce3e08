// `cmake --install` into a temporary prefix, then the example host built against the installed tree
// alone, once with find_package and once with pkg-config, linked against the static libraries and
// against the shared one (libvardenix++.so), and run on a real archive; and a host program that runs
// components out of process, finding the installation's component host.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "authoring/zip_writer.h"
#include "tests/support/fakes/temp_dir.h"

namespace vardenix {
namespace {

using fakes::PathExists;
using fakes::TempDir;

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a shell command with its output in `log`; answers the exit status.
int Shell(const std::string& command, const std::string& log) {
  const int rc = std::system(("(" + command + ") >>" + Quote(log) + " 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Log(const std::string& path) {
  const std::vector<uint8_t> bytes = fakes::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(InstallTree, HostBuildsAgainstTheInstalledTreeAndChecks) {
  TempDir dir;
  const std::string log = dir / "log.txt";
  const std::string prefix = dir / "prefix";
  const std::string libdir = prefix + "/" + VARDENIX_LIBDIR;
  ASSERT_EQ(Shell(Quote(VARDENIX_CMAKE) + " --install " + Quote(VARDENIX_BUILD_DIR) + " --prefix " + Quote(prefix),
                  log),
            0)
      << Log(log);

  for (const std::string& file :
       {prefix + "/include/vardenix/envi_chk.h", prefix + "/include/vardenix/component.h",
        prefix + "/include/vardenix/error.h", prefix + "/bin/vardenix", prefix + "/bin/vardenix-component-host",
        libdir + "/libvardenix_platform.a",
        libdir + "/libvardenix_component.a", libdir + "/pkgconfig/vardenix.pc", libdir + "/libvardenix++.so.1",
        libdir + "/libvardenix++.so", libdir + "/pkgconfig/vardenix++.pc",
        libdir + "/cmake/Vardenix/VardenixConfig.cmake", prefix + "/share/man/man1/vardenix.1",
        prefix + "/share/bash-completion/completions/vardenix", prefix + "/share/doc/vardenix/check-result.schema.json",
        prefix + "/share/doc/vardenix/README.md", prefix + "/share/doc/vardenix/component-programs.md"}) {
    EXPECT_TRUE(PathExists(file)) << file;
  }
  // Hosts get the public headers only.
  EXPECT_FALSE(PathExists(prefix + "/include/platform"));
  EXPECT_EQ(Shell(Quote(prefix + "/bin/vardenix") + " --version", log), 0) << Log(log);
  // The man page carries the version the command answers.
  const std::vector<uint8_t> man_bytes = fakes::ReadFileBytes(prefix + "/share/man/man1/vardenix.1");
  const std::string man(man_bytes.begin(), man_bytes.end());
  EXPECT_NE(man.find("\"vardenix " VARDENIX_VERSION "\""), std::string::npos) << man.substr(0, 200);
  EXPECT_NE(man.find(".SH ENVIRONMENT"), std::string::npos);
  EXPECT_NE(man.find(".SH FILES"), std::string::npos);

  fakes::MakeDirs(dir / "doc");
  fakes::WriteFileText(dir / "doc/hello.txt", "hello\n");
  fakes::WriteFileBytes(dir / "doc.zip", ZipFolder(dir / "doc"));
  fakes::MakeDirs(dir / "work");
  const std::string flags = VARDENIX_SANITIZE_FLAGS;

  // find_package(Vardenix)
  const std::string build = dir / "build";
  ASSERT_EQ(Shell(Quote(VARDENIX_CMAKE) + " -S " + Quote(std::string(VARDENIX_SOURCE_DIR) + "/examples") + " -B " +
                      Quote(build) + " -G " + Quote(VARDENIX_GENERATOR) + " -DCMAKE_MAKE_PROGRAM=" +
                      Quote(VARDENIX_MAKE_PROGRAM) + " -DCMAKE_CXX_COMPILER=" + Quote(VARDENIX_CXX) +
                      " -DCMAKE_PREFIX_PATH=" + Quote(prefix) + " -DCMAKE_CXX_FLAGS=" + Quote(flags) +
                      " -DCMAKE_EXE_LINKER_FLAGS=" + Quote(flags) + " && " + Quote(VARDENIX_CMAKE) + " --build " +
                      Quote(build),
                  log),
            0)
      << Log(log);

  // pkg-config
  const std::string pc_host = dir / "host-pc";
  ASSERT_EQ(Shell("PKG_CONFIG_PATH=" + Quote(libdir + "/pkgconfig") + " && export PKG_CONFIG_PATH && " +
                      Quote(VARDENIX_CXX) + " -std=c++20 " + flags + " -o " + Quote(pc_host) + " " +
                      Quote(std::string(VARDENIX_SOURCE_DIR) + "/examples/host.cpp") +
                      " $(pkg-config --cflags --libs vardenix)",
                  log),
            0)
      << Log(log);

  const std::string pc_shared_host = dir / "host-pc-shared";
  ASSERT_EQ(Shell("PKG_CONFIG_PATH=" + Quote(libdir + "/pkgconfig") + " && export PKG_CONFIG_PATH && " +
                      Quote(VARDENIX_CXX) + " -std=c++20 " + flags + " -o " + Quote(pc_shared_host) + " " +
                      Quote(std::string(VARDENIX_SOURCE_DIR) + "/examples/host.cpp") +
                      " $(pkg-config --cflags --libs vardenix++) -Wl,-rpath," + Quote(libdir),
                  log),
            0)
      << Log(log);

  // The smallest component of examples/, built above against the installed header, is registered
  // and checks the document through the installed command.
  const std::string registry = dir / "registry";
  EXPECT_EQ(Shell(Quote(prefix + "/bin/vardenix") + " register --registry " + Quote(registry) + " " +
                      Quote(build + "/minimal_scorer.so"),
                  log),
            0)
      << Log(log);
  // The installed bash completion offers the registered ProgIDs after --ping-name.
  const std::string offered = dir / "offered.txt";
  EXPECT_EQ(Shell("bash -c 'source \"$0\"; COMP_WORDS=(\"$1\" check --registry \"$2\" --ping-name Ex); COMP_CWORD=5; "
                  "_vardenix; echo \"${COMPREPLY[*]}\" >\"$3\"' " +
                      Quote(prefix + "/share/bash-completion/completions/vardenix") + " " +
                      Quote(prefix + "/bin/vardenix") + " " + Quote(registry) + " " + Quote(offered),
                  log),
            0)
      << Log(log);
  const std::vector<uint8_t> offered_bytes = fakes::ReadFileBytes(offered);
  EXPECT_EQ(std::string(offered_bytes.begin(), offered_bytes.end()), "Example.Minimal\n");
  for (const auto& [rule, status] : std::vector<std::pair<std::string, int>>{{"hello.txt", 0}, {"missing.txt", 1}}) {
    EXPECT_EQ(Shell(Quote(prefix + "/bin/vardenix") + " check --quiet --ping-name Example.Minimal --registry " +
                        Quote(registry) + " --archive " + Quote(dir / "doc.zip") + " --rule-text " + rule,
                    log),
              status)
        << rule << "\n" << Log(log);
  }

  // A host program that runs module components out of process finds the component host of this
  // installation (a prefix other than the configured one): next to itself when it is installed in
  // <prefix>/bin, on PATH, or through $VARDENIX_COMPONENT_HOST. The installed host is wrapped so
  // that each run shows it was the one started.
  const std::string isolated_build = dir / "isolated-build";
  ASSERT_EQ(Shell(Quote(VARDENIX_CMAKE) + " -S " +
                      Quote(std::string(VARDENIX_SOURCE_DIR) + "/tests/install/isolated_host") + " -B " +
                      Quote(isolated_build) + " -G " + Quote(VARDENIX_GENERATOR) + " -DCMAKE_MAKE_PROGRAM=" +
                      Quote(VARDENIX_MAKE_PROGRAM) + " -DCMAKE_CXX_COMPILER=" + Quote(VARDENIX_CXX) +
                      " -DCMAKE_PREFIX_PATH=" + Quote(prefix) + " -DCMAKE_CXX_FLAGS=" + Quote(flags) +
                      " -DCMAKE_EXE_LINKER_FLAGS=" + Quote(flags) + " && " + Quote(VARDENIX_CMAKE) + " --build " +
                      Quote(isolated_build),
                  log),
            0)
      << Log(log);
  const std::string installed_host = prefix + "/bin/vardenix-component-host";
  const std::string marker = dir / "installed-host-ran";
  ASSERT_EQ(Shell("mv " + Quote(installed_host) + " " + Quote(installed_host + ".real") + " && printf '%s\\n' " +
                      Quote("#!/bin/sh") + " " + Quote(": >" + Quote(marker)) + " " +
                      Quote("exec " + Quote(installed_host + ".real") + " \"$@\"") + " >" + Quote(installed_host) +
                      " && chmod 755 " + Quote(installed_host) + " && cp " +
                      Quote(isolated_build + "/isolated_host") + " " + Quote(prefix + "/bin/isolated_host"),
                  log),
            0)
      << Log(log);
  const std::string module = build + "/minimal_scorer.so";
  const auto isolated = [&](const std::string& program, const std::string& env, const std::string& rule) {
    Shell("rm -f " + Quote(marker), log);
    return Shell("env -u VARDENIX_COMPONENT_HOST " + env + " " + Quote(program) + " " + Quote(module) +
                     " Example.Minimal " + Quote(dir / "doc.zip") + " " + Quote(dir / "work") + " " + rule,
                 log);
  };
  const std::string system_path = "PATH=/usr/bin:/bin";
  EXPECT_EQ(isolated(prefix + "/bin/isolated_host", system_path, "hello.txt"), 0) << Log(log);
  EXPECT_TRUE(PathExists(marker)) << "beside the program: another host was started\n" << Log(log);
  EXPECT_EQ(isolated(prefix + "/bin/isolated_host", system_path, "missing.txt"), 1) << Log(log);
  EXPECT_TRUE(PathExists(marker)) << "beside the program: another host was started\n" << Log(log);
  EXPECT_EQ(isolated(isolated_build + "/isolated_host", "VARDENIX_COMPONENT_HOST=" + Quote(installed_host),
                     "hello.txt"),
            0)
      << Log(log);
  EXPECT_TRUE(PathExists(marker)) << "$VARDENIX_COMPONENT_HOST: another host was started\n" << Log(log);
  EXPECT_EQ(isolated(isolated_build + "/isolated_host", "PATH=" + Quote(prefix + "/bin:/usr/bin:/bin"), "hello.txt"),
            0)
      << Log(log);
  // The configured installation comes before PATH; only where it has no host must PATH's be taken.
  if (!PathExists(VARDENIX_CONFIGURED_HOST)) {
    EXPECT_TRUE(PathExists(marker)) << "on PATH: another host was started\n" << Log(log);
  }

  for (const std::string& host : {build + "/host", pc_host, build + "/host-shared", pc_shared_host}) {
    EXPECT_EQ(Shell(Quote(host) + " " + Quote(dir / "doc.zip") + " " + Quote(dir / "work") + " hello.txt", log), 0)
        << host << "\n" << Log(log);
    EXPECT_EQ(Shell(Quote(host) + " " + Quote(dir / "doc.zip") + " " + Quote(dir / "work") + " missing.txt", log), 1)
        << host << "\n" << Log(log);
  }
}

}  // namespace
}  // namespace vardenix
