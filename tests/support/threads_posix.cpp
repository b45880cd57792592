#include <filesystem>
#include <iterator>

#include "support/threads.h"

namespace testing_support {

long thread_count() {
  auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<long>(std::distance(begin(tasks), end(tasks)));
}

}  // namespace testing_support
