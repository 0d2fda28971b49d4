#include "platform.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <string>

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef __APPLE__
#include <libproc.h>
#include <malloc/malloc.h>
#endif

namespace platform {

#ifdef MSG_NOSIGNAL
const int kSendFlags = MSG_NOSIGNAL;
#else
const int kSendFlags = 0;
#endif

void no_sigpipe_on(int fd) {
#ifdef SO_NOSIGPIPE
  int one = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#else
  (void)fd;
#endif
}

Refused connect_refused(int err) {
#if defined(__APPLE__) || defined(TRELVO_REFUSALS_AS_MACOS)
  // A full queue refuses like a socket nobody listens on. (Linux's EAGAIN,
  // read here as macOS's refusal when a Linux build stands in for a Mac.)
  if (err == ECONNREFUSED || err == EAGAIN) return Refused::MaybeBusy;
#else
  if (err == EAGAIN) return Refused::Busy;
#endif
  return Refused::No;
}

bool is_socket_file(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

void tune_allocator() {
#ifdef __GLIBC__
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

void return_free_memory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#elif defined(__APPLE__)
  ::malloc_zone_pressure_relief(nullptr, 0);
#endif
}

void widen_pipe(int fd, int bytes) {
#ifdef F_SETPIPE_SZ
  (void)::fcntl(fd, F_SETPIPE_SZ, bytes);
#else
  (void)fd;
  (void)bytes;
#endif
}

std::optional<Memory> process_memory(pid_t pid) {
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

long peak_kib(const struct rusage& usage) {
#ifdef __APPLE__
  return static_cast<long>(usage.ru_maxrss / 1024);
#else
  return static_cast<long>(usage.ru_maxrss);
#endif
}

}  // namespace platform
