#include <fcntl.h>

#include <filesystem>
#include <iterator>

#include "support/threads.h"

namespace testing_support {

unsigned long long plant_inheritable_handle() { return static_cast<unsigned long long>(open("/dev/null", O_RDWR)); }

long thread_count() {
  auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<long>(std::distance(begin(tasks), end(tasks)));
}

}  // namespace testing_support
