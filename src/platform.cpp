#include "platform.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifdef __APPLE__
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

}  // namespace platform
