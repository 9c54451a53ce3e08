// The `vardenix` command: checks an exam set-up as a host would (check), manages the registration
// records of scoring components (register, unregister, components), makes question banks (bank) and
// joins the shards of a sweep (merge).
// Files here may use CLI11, nlohmann-json and the project's own headers; the outside world is reached
// through platform/.
#include <CLI/CLI.hpp>

#include <exception>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>
#include <algorithm>

#include "cli/bank_command.h"
#include "cli/check_command.h"
#include "cli/check_results.h"
#include "cli/cli_support.h"
#include "cli/merge_command.h"
#include "cli/registry_commands.h"

namespace {

// The edit distance between two words (insertions, deletions, substitutions, each 1).
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "; did you mean "X"?" for the nearest of `known` to `word`, or nothing when none is near.
std::string Suggestion(const std::string& word, const std::vector<std::string>& known) {
  std::string best;
  size_t best_distance = std::string::npos;
  for (const std::string& k : known) {
    const size_t d = EditDistance(word, k);
    if (d < best_distance) {
      best_distance = d;
      best = k;
    }
  }
  if (best.empty() || best_distance > std::max<size_t>(2, word.size() / 3)) return {};
  return "; did you mean \"" + best + "\"?";
}

// What is wrong with a command line the parser refused, when it is a word the command does not know:
// an unknown subcommand or an unknown flag of the subcommand, with the nearest known one. Empty when
// the line's fault is something else, which the parser's own message then says.
std::string UnknownWord(CLI::App& app, int argc, char** argv) {
  if (argc < 2) return {};
  const std::string first = argv[1];
  if (first.empty() || first[0] == '-') return {};
  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
  CLI::App* command = nullptr;
  for (CLI::App* sub : app.get_subcommands({})) {
    if (sub->get_name() == first) command = sub;
  }
  if (command == nullptr) return "unknown command \"" + first + "\"" + Suggestion(first, commands);
  // The subcommand's own subcommands (vardenix bank list) and its flags.
  std::string full = first;
  int at = 2;
  if (!command->get_subcommands({}).empty() && argc > 2) {
    for (CLI::App* sub : command->get_subcommands({})) {
      if (sub->get_name() == argv[2]) {
        command = sub;
        full += " " + sub->get_name();
        at = 3;
      }
    }
    if (at == 2 && argv[2][0] != '-') {
      std::vector<std::string> names;
      for (const CLI::App* sub : command->get_subcommands({})) names.push_back(first + " " + sub->get_name());
      return "unknown command \"" + first + " " + argv[2] + "\"" + Suggestion(first + " " + argv[2], names);
    }
  }
  std::vector<std::string> flags;
  const std::vector<CLI::Option*> options = command->get_options();
  for (const CLI::Option* o : options) {
    for (const std::string& name : o->get_lnames()) flags.push_back("--" + name);
  }
  for (int i = at; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.rfind("--", 0) != 0) continue;
    const std::string name = arg.substr(0, arg.find('='));
    const CLI::Option* known = nullptr;
    for (const CLI::Option* o : options) {
      if (o->check_lname(name.substr(2))) known = o;
    }
    if (known == nullptr) {
      return "unknown option \"" + name + "\" for \"vardenix " + full + "\"" + Suggestion(name, flags);
    }
    // Skip the value of an option that takes one, so "--rule-text --x" is not read as a flag.
    if (arg.find('=') == std::string::npos && known->get_items_expected_max() > 0) ++i;
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vardenix::cli;
  CLI::App app{"vardenix: checks an exam set-up (model answers, scoring component, question banks) before an exam",
               "vardenix"};
  app.set_version_flag("--version", std::string("vardenix ") + VARDENIX_VERSION);
  app.require_subcommand(1);
  app.footer("Exit status: 0 passed (or done), 1 not passed, 2 could not run. `vardenix COMMAND --help` for more.");

  std::function<int()> run;
  AddCheckCommand(app, run);
  AddRegistryCommands(app, run);
  AddBankCommand(app, run);
  AddMergeCommand(app, run);

  // A script that asked for JSON gets one JSON object on stdout whatever happens, an error too.
  // Asked for means as the parser read the command line: `vardenix check`'s --json flag was set.
  // "--json" after "--", as the value of another option (--rule-text --json) or given to a command
  // without JSON output is no such request. The parser reads every argument before it reports an
  // error of the line as a whole (an unknown flag, a missing one), so the flag is known then too.
  const CLI::Option* check_json = app.get_subcommand("check")->get_option("--json");
  const CLI::Option* merge_json = app.get_subcommand("merge")->get_option("--json");
  const auto json_asked = [check_json, merge_json] { return check_json->count() > 0 || merge_json->count() > 0; };
  const auto fail = [json_asked](const std::string& message) {
    if (json_asked()) std::cout << ErrorJson(message, kExitCannotRun) << std::endl;
    return kExitCannotRun;
  };

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0) {
      const std::string unknown = UnknownWord(app, argc, argv);
      if (!unknown.empty()) {
        std::cerr << "vardenix: " << unknown << "\nRun with --help for more information.\n";
        return json_asked() ? fail(unknown) : kExitCannotRun;
      }
    }
    if (!json_asked() || e.get_exit_code() == 0) {
      const int rc = app.exit(e);
      return rc == 0 ? kExitPassed : kExitCannotRun;
    }
    std::ostringstream out;
    std::ostringstream err;
    app.exit(e, out, err);
    std::cerr << err.str();
    return fail(e.what());
  }
  std::string name = "vardenix";
  for (const CLI::App* cmd = &app; !cmd->get_subcommands().empty();) {
    cmd = cmd->get_subcommands().front();
    name += " " + cmd->get_name();
  }
  try {
    return run ? run() : fail("no command to run");
  } catch (const std::exception& e) {  // UsageError, and RuntimeError from the platform
    std::cerr << name << ": " << e.what() << '\n';
    return fail(e.what());
  }
}
