// `vardenix merge`: joins the JSON results of the shards of one sweep (`vardenix check --all --shard
// K/N`) into the result one run of the whole sweep gives.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace vardenix::cli {

// Adds the subcommand to `app`; when it is chosen, `run` is set to what carries it out (answering
// the exit status: 0 passed, 1 not passed, 2 the shards could not be merged).
void AddMergeCommand(CLI::App& app, std::function<int()>& run);

}  // namespace vardenix::cli
