#pragma once
// What machine a module's file is built for, read from its header (PE on Windows, ELF on
// Linux) before anything loads it: a 32-bit module cannot load into the 64-bit agent, and
// the system's own error for it says nothing a user can act on.
#include <string>

namespace p11agent::platform {

enum class Machine {
  Native,   // x86-64, as the agent
  Bits32,   // a 32-bit build (i386, ARM)
  Other,    // another 64-bit machine (ARM64)
  Unknown,  // no PE or ELF header, or the file cannot be read
};

struct ModuleMachine {
  Machine machine;
  std::string name;  // "x86-64", "i386", "ARM64", …; "" where unknown
};

ModuleMachine read_module_machine(const std::string& path);

// What the agent says of a module built for another machine; "" for a native or unknown one.
std::string wrong_machine_text(const ModuleMachine& machine);

}  // namespace p11agent::platform
