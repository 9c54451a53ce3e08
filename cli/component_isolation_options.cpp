#include "cli/component_isolation_options.h"

#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "cli/cli_support.h"
#include "hosting/component_registry.h"
#include "hosting/component_isolation.h"
#include "hosting/component_process.h"
#include "vardenix/error.h"

namespace vardenix::cli {
namespace {

IsolationSettings Settings(const IsolationArgs& a, bool verbose) {
  IsolationSettings settings;
  if (a.time_opt->count() > 0) {
    char* end = nullptr;
    errno = 0;
    const double seconds = std::strtod(a.time_limit.c_str(), &end);
    if (a.time_limit.empty() || end != a.time_limit.c_str() + a.time_limit.size() || !std::isfinite(seconds) ||
        seconds <= 0 || errno == ERANGE) {
      throw UsageError("--time-limit must be a positive number of seconds, such as 120 or 0.5, not \"" +
                       a.time_limit + "\"");
    }
    settings.seconds = seconds;
  }
  if (a.memory_opt->count() > 0) {
    const std::optional<uint64_t> bytes = ParseSize(a.memory_limit);
    if (!bytes) throw UsageError("--memory-limit must be a size such as 2G, 512M or 1.5GiB, not \"" + a.memory_limit + "\"");
    settings.memory_bytes = *bytes;
  }
  if (a.answer_opt->count() > 0) {
    const std::optional<uint64_t> bytes = ParseSize(a.answer_limit);
    if (!bytes) throw UsageError("--answer-limit must be a size such as 64M, not \"" + a.answer_limit + "\"");
    settings.answer_bytes = *bytes;
  }
  if (verbose) {
    settings.trace = [](const std::string& prog_id, const std::string& text) {
      std::string line;
      for (char c : text) {
        if (c == '\n') {
          std::cerr << "  " << prog_id << " (stderr): " << line << '\n';
          line.clear();
        } else if (c != '\r') {
          line += c;
        }
      }
      if (!line.empty()) std::cerr << "  " << prog_id << " (stderr): " << line << '\n';
    };
  }
  return settings;
}

void Install(IsolationSettings settings) {
  try {
    SystemComponentRegistry().SetIsolation(ComponentHosts::Make(std::move(settings)));
  } catch (const RuntimeError& e) {
    throw UsageError(e.what());
  }
}

}  // namespace

std::optional<uint64_t> ParseSize(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double number = std::strtod(text.c_str(), &end);
  if (text.empty() || end == text.c_str() || !std::isfinite(number) || number <= 0 || errno == ERANGE) return std::nullopt;
  std::string unit(end);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  double scale = 1;
  if (unit.empty() || unit == "B") {
    scale = 1;
  } else if (unit == "K" || unit == "KB" || unit == "KIB") {
    scale = 1024.0;
  } else if (unit == "M" || unit == "MB" || unit == "MIB") {
    scale = 1024.0 * 1024;
  } else if (unit == "G" || unit == "GB" || unit == "GIB") {
    scale = 1024.0 * 1024 * 1024;
  } else if (unit == "T" || unit == "TB" || unit == "TIB") {
    scale = 1024.0 * 1024 * 1024 * 1024;
  } else {
    return std::nullopt;
  }
  const double bytes = number * scale;
  if (bytes < 1 || bytes > 1e18) return std::nullopt;
  return static_cast<uint64_t>(bytes);
}

void AddIsolationOptions(CLI::App& cmd, IsolationArgs& a) {
  const std::string group = "Scoring component";
  a.time_opt = cmd.add_option("--time-limit", a.time_limit,
                              "stop a scoring component that has not answered within SECONDS of one scoring run "
                              "(default 120); the record then fails, naming the component and the limit")
                   ->type_name("SECONDS")
                   ->group(group);
  a.memory_opt = cmd.add_option("--memory-limit", a.memory_limit,
                                "stop a scoring component whose process uses more memory than SIZE (default 2G, or what "
                                "this process may itself use when that is less; K, M, G suffixes)")
                     ->type_name("SIZE")
                     ->group(group);
  a.answer_opt = cmd.add_option("--answer-limit", a.answer_limit,
                                "stop a scoring component that answers a text larger than SIZE (default 64M)")
                     ->type_name("SIZE")
                     ->group(group);
  auto* in_process = cmd.add_flag("--in-process", a.in_process,
                                  "run module components inside this process, without limits: faster, for a "
                                  "trusted component; by default each runs in a component host process of its "
                                  "own, so that a crash, a hang or an exit() fails the record instead of the command")
                         ->group(group);
  auto* sandbox = cmd.add_flag("--sandbox", a.sandbox,
                               "run components under bubblewrap (bwrap): the system read-only, only the working "
                               "folder writable, no network, a private /tmp")
                      ->group(group);
  in_process->excludes(sandbox);
  in_process->excludes(a.time_opt);
  in_process->excludes(a.memory_opt);
  in_process->excludes(a.answer_opt);
}

void ApplyIsolation(const IsolationArgs& a, bool verbose) {
  IsolationSettings settings = Settings(a, verbose);
  if (a.sandbox) {
    std::string why;
    if (!SandboxAvailable(std::string(), why)) throw UsageError("--sandbox cannot be used here: " + why);
  }
  if (verbose && !a.in_process) {
    std::string why;
    const uint64_t standard = DefaultComponentMemoryBytes(&why);
    if (a.memory_opt->count() > 0) why = "given with --memory-limit";
    std::cerr << "component memory limit: " << DescribeBytes(a.memory_opt->count() > 0 ? settings.memory_bytes : standard)
              << " (" << why << ")\n";
  }
  if (a.in_process) {
    // Program components still run as programs, with the default limits.
    SystemComponentRegistry().SetIsolation(nullptr);
    return;
  }
  Install(std::move(settings));
}

void ApplySandboxFolder(const IsolationArgs& a, bool verbose, const std::string& ping_path) {
  if (!a.sandbox) return;
  IsolationSettings settings = Settings(a, verbose);
  settings.sandbox = true;
  settings.sandbox_folder = Absolute(ping_path);
  Install(std::move(settings));
}

}  // namespace vardenix::cli
