// p11agent-host (p11agent-host32.exe for 32-bit modules on Windows): the module host, a
// program of its own so that it starts with the module loading and the host's half of the
// messages alone. Only the agent starts it, with the host's internal argument; asked for
// --version it says which build it is; it does nothing else.
#include <string>
#include <vector>

#include "system/library.h"
#include "system/process.h"
#include "pkcs11/host_protocol.h"
#include "token/module_host.h"

int main(int argc, char** argv) {
  // As the agent does: no error boxes, and no DLL of the working folder for a module's
  // dependencies.
  p11agent::platform::set_process_error_mode();
  (void)p11agent::platform::keep_working_directory_out_of_library_search();
  std::vector<std::string> args = p11agent::platform::arguments(argc, argv);
  if (args.size() == 1 && args.front() == "--version")
    return p11agent::platform::write_stdout(P11AGENT_HOST_NAME " " P11AGENT_VERSION " (" P11AGENT_BUILD_PLATFORM ")\n") ? 0 : 1;
  if (args.empty() || args.front() != p11agent::host_protocol::HOST_ARGUMENT) return 2;
  p11agent::run_module_host(std::vector<std::string>(args.begin() + 1, args.end()));
}
