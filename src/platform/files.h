#pragma once
#include <string>

namespace p11agent::platform {

// True when a file-system metadata query on the path succeeds.
bool file_exists(const std::string& path);

}  // namespace p11agent::platform
