// `vardenix register`, `unregister` and `components`: the registration records that let a host
// create a scoring component by its ProgID alone.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace vardenix::cli {

void AddRegistryCommands(CLI::App& app, std::function<int()>& run);

}  // namespace vardenix::cli
