#pragma once
#include <string>
#include <vector>

// The file the fake module was loaded from.
std::string fake_module_self_path();

// The folder named by P11FAKE_DIR, read from the process environment as it is now.
std::string fake_module_folder_variable();

// The id of the process the module is loaded in.
long fake_process_id();

// What of its surroundings the process the module is loaded in can reach, as JSON: its
// open descriptors and where they lead (Linux), which of `probes` are handles it holds
// (both), and whether a crash would leave a dump of it.
std::string fake_reach_report(const std::vector<unsigned long long>& probes);
