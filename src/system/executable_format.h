#pragma once
// What machine a module's file is built for, read from its header (PE on Windows, ELF on
// Linux) before anything loads it: a 32-bit module cannot load into the 64-bit agent, and
// the system's own error for it says nothing a user can act on.
#include <string>

namespace p11agent::platform {

enum class Machine {
  Native,   // x86-64, as the agent
  X86,      // 32-bit x86 (i386): on Windows, p11agent's 32-bit host loads it
  Bits32,   // another 32-bit build (ARM)
  Other,    // another 64-bit machine (ARM64)
  Unknown,  // no PE or ELF header, or the file cannot be read
  NotAFile,  // a FIFO, a device or a folder: never opened, as reading one may never end
};

struct ModuleMachine {
  Machine machine;
  std::string name;  // "x86-64", "i386", "ARM64", …; "" where unknown
};

ModuleMachine read_module_machine(const std::string& path);

// What the agent says of a module built for a machine no host of this build can load; ""
// for a native or unknown one.
std::string wrong_machine_text(const ModuleMachine& machine);

}  // namespace p11agent::platform
