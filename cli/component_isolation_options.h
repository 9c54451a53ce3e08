// The options of `vardenix check` that say where scoring components run: out of process with limits
// (the default), in-process, or in a sandbox.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace vardenix::cli {

struct IsolationArgs {
  std::string time_limit;
  std::string memory_limit;
  std::string answer_limit;
  bool in_process = false;
  bool sandbox = false;
  CLI::Option* time_opt = nullptr;
  CLI::Option* memory_opt = nullptr;
  CLI::Option* answer_opt = nullptr;
};

void AddIsolationOptions(CLI::App& cmd, IsolationArgs& args);

// Sets where components run for the rest of the command, before any module is loaded; `verbose`
// shows what components write on stderr. Throws UsageError for a malformed limit or a sandbox this
// machine cannot make.
void ApplyIsolation(const IsolationArgs& args, bool verbose);

// With --sandbox, names the working folder, the one folder a component may write; call once it is
// known and before the check runs.
void ApplySandboxFolder(const IsolationArgs& args, bool verbose, const std::string& ping_path);

// "2G", "512M", "1.5GiB", "65536" (bytes) -> bytes; nothing when malformed or 0.
std::optional<uint64_t> ParseSize(const std::string& text);

}  // namespace vardenix::cli
