// Runs a program of the build (the `vardenix` command, a browser, a validator) as a person would,
// with stdout and stderr captured.
#pragma once

#include <string>
#include <vector>

namespace vardenix::support {

struct CommandOutcome {
  int status = -1;  // the exit status; -1 when it could not start or was killed by a signal
  std::string out;
  std::string err;
  std::string Describe() const { return "stdout:\n" + out + "\nstderr:\n" + err; }
};

// Runs `program` with `args` (looked up on PATH when it has no slash). stdout and stderr go to
// files in `scratch_dir`; `env` entries ("NAME=value") replace or add to the environment.
CommandOutcome RunCommand(const std::string& program, const std::vector<std::string>& args,
                          const std::string& scratch_dir, const std::vector<std::string>& env = {});

// True when `program` is found on PATH (or is an executable path).
bool ProgramExists(const std::string& program);

}  // namespace vardenix::support
