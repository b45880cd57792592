#pragma once
#include <string>

// The file the fake module was loaded from.
std::string fake_module_self_path();
