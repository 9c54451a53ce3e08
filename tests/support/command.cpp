#include "support/command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace vardenix::support {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=') + 1); }

}  // namespace

CommandOutcome RunCommand(const std::string& program, const std::vector<std::string>& args,
                          const std::string& scratch_dir, const std::vector<std::string>& env) {
  std::vector<std::string> argv_s = {program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_s = env;
  for (char** e = environ; *e; ++e) {
    const std::string var = *e;
    bool replaced = false;
    for (const std::string& mine : env) replaced = replaced || NameOf(mine) == NameOf(var);
    if (!replaced) env_s.push_back(var);
  }
  std::vector<char*> envp;
  for (std::string& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  const std::string out_path = scratch_dir + "/command-stdout.txt";
  const std::string err_path = scratch_dir + "/command-stderr.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  CommandOutcome outcome;
  if (rc != 0) {
    outcome.err = "could not start " + program;
    return outcome;
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  outcome.out = ReadAll(out_path);
  outcome.err = ReadAll(err_path);
  return outcome;
}

bool ProgramExists(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace vardenix::support
