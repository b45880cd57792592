#pragma once
// Who may change a file or folder on Windows, from its security descriptor (its owner and
// access list); only the *_win32 files and their tests include this.
#include <windows.h>

#include <optional>
#include <string>

namespace p11agent::platform {

// Why an account other than the administrators' (Administrators, SYSTEM, TrustedInstaller,
// or the administrator this process runs as) can change the object: its owner is another
// account, it has no access list, or the list lets another account write, delete, or
// change the list or the owner. nullopt when none can.
std::optional<std::string> descriptor_lets_others_change(PSECURITY_DESCRIPTOR descriptor);

}  // namespace p11agent::platform
