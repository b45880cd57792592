#include "fake_module/self_path.h"

#include <dlfcn.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

std::string fake_module_self_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&fake_module_self_path), &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

std::string fake_module_folder_variable() {
  const char* dir = std::getenv("P11FAKE_DIR");
  return dir != nullptr ? dir : "";
}

long fake_process_id() { return static_cast<long>(getpid()); }

std::string fake_reach_report(const std::vector<unsigned long long>& probes) {
  std::string descriptors;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir)) continue;
      char target[512] = {};
      ssize_t n = readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target, sizeof target - 1);
      if (n < 0) n = 0;
      descriptors += std::string(descriptors.empty() ? "" : ",") + "\"" + entry->d_name + "\":\"" +
                     std::string(target, static_cast<std::size_t>(n)) + "\"";
    }
    closedir(dir);
  }
  std::string held;
  for (unsigned long long fd : probes)
    if (fcntl(static_cast<int>(fd), F_GETFD) != -1) held += (held.empty() ? "" : ",") + std::to_string(fd);
  rlimit core{};
  getrlimit(RLIMIT_CORE, &core);
  // Which program the host runs, and whether the libraries only the agent needs (OpenSSL,
  // D-Bus) came along.
  char program[512] = {};
  (void)!readlink("/proc/self/exe", program, sizeof program - 1);
  std::ifstream maps_file("/proc/self/maps");
  const std::string maps((std::istreambuf_iterator<char>(maps_file)), std::istreambuf_iterator<char>());
  const bool agent_libraries = maps.find("libcrypto") != std::string::npos || maps.find("libdbus") != std::string::npos;
  return "{\"descriptors\":{" + descriptors + "},\"probes_held\":[" + held + "],\"dumpable\":" +
         std::to_string(prctl(PR_GET_DUMPABLE)) + ",\"core_limit\":" + std::to_string(core.rlim_cur) +
         ",\"program\":\"" + program + "\",\"agent_libraries\":" + (agent_libraries ? "true" : "false") + "}";
}
