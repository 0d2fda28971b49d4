#include "process_memory.h"

#include <fstream>
#include <string>

#ifdef __APPLE__
#include <libproc.h>
#endif

namespace process {

std::optional<Memory> memory(pid_t pid) {
#ifdef __APPLE__
  rusage_info_v4 info{};
  if (::proc_pid_rusage(pid, RUSAGE_INFO_V4, reinterpret_cast<rusage_info_t*>(&info)) != 0) {
    return std::nullopt;
  }
  return Memory{static_cast<long>(info.ri_resident_size / 1024),
                static_cast<long>(info.ri_lifetime_max_phys_footprint / 1024)};
#else
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  Memory memory{-1, -1};
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) memory.resident_kib = std::stol(line.substr(6));
    if (line.rfind("VmHWM:", 0) == 0) memory.peak_kib = std::stol(line.substr(6));
  }
  if (memory.resident_kib < 0 || memory.peak_kib < 0) return std::nullopt;
  return memory;
#endif
}

long resident_kib(pid_t pid) {
  auto now = memory(pid);
  return now ? now->resident_kib : -1;
}

long peak_kib(pid_t pid) {
  auto now = memory(pid);
  return now ? now->peak_kib : -1;
}

long peak_kib(const struct rusage& usage) {
#ifdef __APPLE__
  return static_cast<long>(usage.ru_maxrss / 1024);
#else
  return static_cast<long>(usage.ru_maxrss);
#endif
}

}  // namespace process
