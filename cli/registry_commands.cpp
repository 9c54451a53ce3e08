#include "cli/registry_commands.h"

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "hosting/component_records.h"

namespace vardenix::cli {
namespace {

constexpr const char* kRegistryHelp =
    "folder of registration records (default: $XDG_DATA_HOME/vardenix/registry or "
    "~/.local/share/vardenix/registry)";

struct RegistryArgs {
  std::string module;
  std::vector<std::string> args;  // register: the module, or with --program the program's command line
  std::string program;            // --program PROGID
  std::string registry;
  CLI::Option* registry_opt = nullptr;

  std::string Folder() const {
    const std::string folder = registry_opt->count() > 0 ? registry : DefaultRegistry();
    if (folder.empty()) {
      throw UsageError("no registry folder: HOME and XDG_DATA_HOME are unset; give one with --registry DIR");
    }
    return folder;
  }
};

int Register(const RegistryArgs& a) {
  const std::string folder = a.Folder();
  if (!a.program.empty()) {
    if (a.args.empty()) {
      throw UsageError("--program " + a.program + " needs the program's command line after --, for example: "
                       "vardenix register --program Acme.PyCheck -- python3 /opt/acme/pycheck.py");
    }
    const ComponentRecord record = RegisterProgram(folder, a.program, a.args);
    std::cout << "registered " << record.prog_id << " -> program";
    for (const std::string& arg : record.program) std::cout << ' ' << arg;
    std::cout << "\nregistry: " << folder << '\n';
    return kExitPassed;
  }
  if (a.args.size() != 1) {
    throw UsageError("give one module (.so) to register, or --program PROGID -- COMMAND... for a program component");
  }
  for (const ComponentRecord& record : RegisterModule(folder, a.args.front())) {
    std::cout << "registered " << record.prog_id << " -> " << record.module_path << '\n';
  }
  std::cout << "registry: " << folder << '\n';
  return kExitPassed;
}

int Unregister(const RegistryArgs& a) {
  const std::string folder = a.Folder();
  if (!a.program.empty()) {
    if (!a.module.empty()) throw UsageError("give a module or --program PROGID, not both");
    if (!RemoveComponentRecord(folder, a.program)) {
      std::cerr << "vardenix unregister: no record of " << a.program << " in " << folder << '\n';
    } else {
      std::cout << "unregistered " << a.program << '\n';
    }
    return kExitPassed;
  }
  if (a.module.empty()) throw UsageError("give the module (.so) to unregister, or --program PROGID");
  const std::vector<ComponentRecord> removed = UnregisterModule(folder, a.module);
  for (const ComponentRecord& record : removed) std::cout << "unregistered " << record.prog_id << '\n';
  if (removed.empty()) std::cerr << "vardenix unregister: no record in " << folder << " names " << a.module << '\n';
  return kExitPassed;
}

int List(const RegistryArgs& a) {
  const std::string folder = a.Folder();
  const std::vector<ComponentRecord> records = ListComponentRecords(folder);
  std::cout << "registry: " << folder << '\n';
  if (records.empty()) std::cout << "no components registered\n";
  for (const ComponentRecord& record : records) {
    std::cout << record.prog_id << '\t' << record.module_path;
    if (!record.program.empty()) {
      std::cout << "program:";
      for (const std::string& arg : record.program) std::cout << ' ' << arg;
    }
    if (!record.problem.empty()) {
      std::cout << "\t(unusable: " << record.problem << ")";
    } else if (record.program.empty() && !record.module_path.empty() && !PathExists(record.module_path)) {
      // The record outlived its module: a check would fail to load it.
      std::cout << "\t(unusable: the module file is gone; register the module again or unregister it)";
    }
    std::cout << '\n';
  }
  return kExitPassed;
}

}  // namespace

void AddRegistryCommands(CLI::App& app, std::function<int()>& run) {
  auto reg = std::make_shared<RegistryArgs>();
  CLI::App* cmd = app.add_subcommand(
      "register", "Load a component module and write a registration record for each of its classes, so that "
                  "checks can create them by ProgID alone.");
  cmd->add_option("MODULE", reg->args,
                  "the module (.so), recorded by its absolute path; with --program, the program's command line "
                  "after -- (the program is looked up in PATH and recorded by its absolute path)")
      ->required();
  cmd->add_option("--program", reg->program,
                  "register a program component under PROGID: a program in any language that reads the scoring "
                  "run's values as JSON on stdin and writes its answers as JSON on stdout "
                  "(docs/component-programs.md)")
      ->type_name("PROGID");
  reg->registry_opt = cmd->add_option("--registry", reg->registry, kRegistryHelp);
  cmd->callback([reg, &run] { run = [reg] { return Register(*reg); }; });

  auto unreg = std::make_shared<RegistryArgs>();
  cmd = app.add_subcommand("unregister",
                           "Remove every registration record that names a module (also when the file is gone).");
  cmd->add_option("MODULE", unreg->module, "the module (.so)");
  cmd->add_option("--program", unreg->program, "remove the record of the program component PROGID")->type_name("PROGID");
  unreg->registry_opt = cmd->add_option("--registry", unreg->registry, kRegistryHelp);
  cmd->callback([unreg, &run] { run = [unreg] { return Unregister(*unreg); }; });

  auto list = std::make_shared<RegistryArgs>();
  cmd = app.add_subcommand("components", "List the registered components: ProgID and module, and why a record "
                                         "cannot be used when it cannot.");
  list->registry_opt = cmd->add_option("--registry", list->registry, kRegistryHelp);
  cmd->callback([list, &run] { run = [list] { return List(*list); }; });
}

}  // namespace vardenix::cli
