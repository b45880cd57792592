#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>

#include "support/threads.h"

namespace testing_support {

unsigned long long plant_inheritable_handle() {
  // Far above the descriptors a child is given on purpose, so as not to be taken for one.
  const int opened = open("/dev/null", O_RDWR);
  const int planted = fcntl(opened, F_DUPFD, 100);
  close(opened);
  return static_cast<unsigned long long>(planted);
}

long thread_count() {
  auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<long>(std::distance(begin(tasks), end(tasks)));
}

}  // namespace testing_support
