// p11agent-host32.exe: the module host for 32-bit modules, which the 64-bit agent cannot
// load. Only the agent starts it, with the host's internal argument; it does nothing else.
#include <string>
#include <vector>

#include "platform/library.h"
#include "platform/process.h"
#include "token/host_protocol.h"
#include "token/module_host.h"

int main(int argc, char** argv) {
  // As the agent does before it becomes a host: no error boxes, and no DLL of the
  // working folder for a module's dependencies.
  p11agent::platform::set_process_error_mode();
  (void)p11agent::platform::keep_working_directory_out_of_library_search();
  std::vector<std::string> args = p11agent::platform::arguments(argc, argv);
  if (args.empty() || args.front() != p11agent::host_protocol::HOST_ARGUMENT) return 2;
  p11agent::run_module_host(std::vector<std::string>(args.begin() + 1, args.end()));
}
