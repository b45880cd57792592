#pragma once
// Loading several modules at once, under a deadline.
#include <string>
#include <unordered_map>
#include <vector>

#include "token/module.h"

namespace p11agent {

using ModuleTable = std::unordered_map<std::string, ModulePtr>;

// Opens each path on a detached thread of its own and keeps what is ready by the
// deadline. A module that hangs is left behind; if it ever finishes, its thread releases it.
ModuleTable load_modules_parallel(const std::vector<std::string>& paths, int deadline_seconds);

}  // namespace p11agent
