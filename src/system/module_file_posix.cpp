#include "system/module_file.h"

#include <unistd.h>

#include "system/files.h"
#include "system/host_process.h"

namespace p11agent::platform {

std::optional<ModuleFile> find_module_file(const std::string& path) {
  if (!file_exists(path)) return std::nullopt;
  ModuleMachine machine = read_module_machine(path);
  std::string unloadable = wrong_machine_text(machine);
  return ModuleFile{path, std::move(machine), false, std::move(unloadable)};
}

std::string module_host_path(HostKind kind, const std::string& agent) {
  if (kind != HostKind::Native) return {};
  const std::string own = agent.empty() ? own_executable_path() : agent;
  // Where the agent itself is not known, neither is its host: a bare name would be looked
  // for in the working folder, whose program would be handed PINs.
  if (own.find('/') == std::string::npos) return {};
  return own.substr(0, own.find_last_of('/') + 1) + HOST_NAME;
}

HostPresence host_presence(const std::string& path) {
  if (path.empty() || !file_exists(path)) return HostPresence::Missing;
  return ::access(path.c_str(), X_OK) == 0 ? HostPresence::Runnable : HostPresence::NotRunnable;
}

std::optional<HostExecutable> module_host(HostKind kind, const std::string& agent) {
  if (kind != HostKind::Native) return std::nullopt;
  HostExecutable host;
  host.path = module_host_path(kind, agent);
  host.present = host_presence(host.path) == HostPresence::Runnable;
  if (!host.present) return host;
  // An ELF file states no version the agent could read: the host says its own, asked
  // ("p11agent-host VERSION\n").
  constexpr auto STATING = std::chrono::seconds(5);
  const std::string name = std::string(HOST_NAME) + " ";
  if (auto process = HostProcess::start_program(host.path, {"--version"}, std::chrono::milliseconds{500})) {
    process->close_input();
    auto said = printed(*process, std::chrono::steady_clock::now() + STATING, 256);
    if (said && said->starts_with(name) && said->find('\n') == said->size() - 1)
      host.version = said->substr(name.size(), said->size() - name.size() - 1);
  }
  return host;
}

}  // namespace p11agent::platform
