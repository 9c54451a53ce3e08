// `vardenix bank`: makes question banks (SQLite) on Linux: empty total and subject banks, module
// rows, operation questions with their answer archives, and a listing of what a bank holds.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace vardenix::cli {

void AddBankCommand(CLI::App& app, std::function<int()>& run);

}  // namespace vardenix::cli
