#include "cli/registry_commands.h"

#include <iostream>
#include <memory>
#include <string>

#include "cli/cli_support.h"
#include "platform/component_records.h"

namespace vardenix::cli {
namespace {

constexpr const char* kRegistryHelp =
    "folder of registration records (default: $XDG_DATA_HOME/vardenix/registry or "
    "~/.local/share/vardenix/registry)";

struct RegistryArgs {
  std::string module;
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
  for (const ComponentRecord& record : RegisterModule(folder, a.module)) {
    std::cout << "registered " << record.prog_id << " -> " << record.module_path << '\n';
  }
  std::cout << "registry: " << folder << '\n';
  return kExitPassed;
}

int Unregister(const RegistryArgs& a) {
  const std::string folder = a.Folder();
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
    if (!record.problem.empty()) {
      std::cout << "\t(unusable: " << record.problem << ")";
    } else if (!record.module_path.empty() && !PathExists(record.module_path)) {
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
  cmd->add_option("MODULE", reg->module, "the module (.so); recorded by its absolute path")->required();
  reg->registry_opt = cmd->add_option("--registry", reg->registry, kRegistryHelp);
  cmd->callback([reg, &run] { run = [reg] { return Register(*reg); }; });

  auto unreg = std::make_shared<RegistryArgs>();
  cmd = app.add_subcommand("unregister",
                           "Remove every registration record that names a module (also when the file is gone).");
  cmd->add_option("MODULE", unreg->module, "the module (.so)")->required();
  unreg->registry_opt = cmd->add_option("--registry", unreg->registry, kRegistryHelp);
  cmd->callback([unreg, &run] { run = [unreg] { return Unregister(*unreg); }; });

  auto list = std::make_shared<RegistryArgs>();
  cmd = app.add_subcommand("components", "List the registered components: ProgID and module, and why a record "
                                         "cannot be used when it cannot.");
  list->registry_opt = cmd->add_option("--registry", list->registry, kRegistryHelp);
  cmd->callback([list, &run] { run = [list] { return List(*list); }; });
}

}  // namespace vardenix::cli
