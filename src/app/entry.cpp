#include "app/entry.h"

#include "daemon/serve.h"
#include "oneshot/one_shot.h"
#include "platform/library.h"
#include "platform/process.h"

namespace p11agent {

int run_agent(int argc, char** argv) {
  platform::set_process_error_mode();
  // Refused, the search stays the system's default: no worse than before, and no reason to
  // refuse the caller a signature.
  (void)platform::keep_working_directory_out_of_library_search();
  auto args = platform::arguments(argc, argv);
  // Loader threads may still be inside a vendor module: the daemon ends the process
  // without the exit-time clean-up they could race with.
  if (!args.empty() && args.front() == "serve") platform::end_process_now(run_serve());
  // The answer is written and every module released: the libraries' exit-time clean-up
  // (OpenSSL frees its tables, for one) would only delay the caller.
  platform::end_process_now(run_one_shot());
}

}  // namespace p11agent
