// The `vardenix` command: checks an exam set-up as a host would (check), manages the registration
// records of scoring components (register, unregister, components) and makes question banks (bank).
// Files here may use CLI11, nlohmann-json and the project's own headers; the outside world is reached
// through platform/.
#include <CLI/CLI.hpp>

#include <exception>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>

#include "cli/bank_command.h"
#include "cli/check_command.h"
#include "cli/check_results.h"
#include "cli/cli_support.h"
#include "cli/registry_commands.h"

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

  // A script that asked for JSON gets one JSON object on stdout whatever happens, an error too.
  // Asked for means as the parser read the command line: `vardenix check`'s --json flag was set.
  // "--json" after "--", as the value of another option (--rule-text --json) or given to a command
  // without JSON output is no such request. The parser reads every argument before it reports an
  // error of the line as a whole (an unknown flag, a missing one), so the flag is known then too.
  const CLI::Option* json_flag = app.get_subcommand("check")->get_option("--json");
  const auto fail = [json_flag](const std::string& message) {
    if (json_flag->count() > 0) std::cout << ErrorJson(message, kExitCannotRun) << std::endl;
    return kExitCannotRun;
  };

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (json_flag->count() == 0 || e.get_exit_code() == 0) {
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
