// `vardenix check`: runs a check the way a host would and reports the verdict.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace vardenix::cli {

// Adds the subcommand to `app`; when it is chosen, `run` is set to what carries it out (answering
// the exit status).
void AddCheckCommand(CLI::App& app, std::function<int()>& run);

}  // namespace vardenix::cli
