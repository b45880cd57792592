#pragma once
#include <string>

// The file the fake module was loaded from.
std::string fake_module_self_path();

// The folder named by P11FAKE_DIR, read from the process environment as it is now.
std::string fake_module_folder_variable();
