#pragma once
#include <string>

// The file the fake module was loaded from.
std::string fake_module_self_path();

// The folder named by P11FAKE_DIR, read from the process environment as it is now.
std::string fake_module_folder_variable();

// The id of the process the module is loaded in.
long fake_process_id();
