#pragma once
// Where a module's file is, and which of this build's programs can load it. A 64-bit
// process cannot load a 32-bit DLL: on Windows such a module is loaded by p11agent's
// 32-bit module host, shipped beside the agent (as the 64-bit host is). Linux has no such host: a 32-bit library
// stays one the agent names and does not load.
#include <optional>
#include <string>

#include "system/executable_format.h"

namespace p11agent::platform {

struct ModuleFile {
  std::string file;  // the name the process that loads it opens it by
  ModuleMachine machine;
  bool in_32bit_host = false;
  // Why no program of this build can load it (wrong_machine_text); "" when one can.
  std::string unloadable;
};

// The file of the module at `path` (as configured or asked for); nullopt when there is
// none. Windows: a 32-bit module at the path is opened by the 32-bit host through
// Sysnative (a 32-bit process that names System32 is sent to SysWOW64), and a System32
// path with no file behind it is looked for in SysWOW64, where 32-bit installers put a
// DLL they name in System32.
std::optional<ModuleFile> find_module_file(const std::string& path);

// The module hosts that belong beside the agent's executable: p11agent-host, which loads
// every module of the agent's own kind, and (Windows) p11agent-host32 for 32-bit ones.
enum class HostKind { Native, Bits32 };
inline constexpr const char* HOST_NAME = "p11agent-host";
inline constexpr const char* HOST_32_NAME = "p11agent-host32";
struct HostExecutable {
  std::string path;
  bool present = false;
  std::string version;  // as the host states it; "" when it states none or is missing
  // Its version as the agent's texts give it.
  std::string version_text() const { return version.empty() ? "of an unknown version" : version; }
};
// Where the host of that kind belongs beside `agent` ("": this executable); "" where this
// build has none (a 32-bit host on Linux).
std::string module_host_path(HostKind kind, const std::string& agent = "");
// What is there: nullopt where this build has no such host.
std::optional<HostExecutable> module_host(HostKind kind, const std::string& agent = "");

// Whether the host at `path` can be started, the one answer the host's start, the
// registration, the doctor and the commands that name a missing host all go by: there and
// runnable, not there (an empty path too: the agent's own path is unknown), or there but
// not runnable. Whether it is of this build is told by the host itself (its version, and
// the messages' version it speaks).
enum class HostPresence { Runnable, Missing, NotRunnable };
HostPresence host_presence(const std::string& path);

}  // namespace p11agent::platform
