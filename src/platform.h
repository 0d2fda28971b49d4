// What differs between the systems this program runs on: Linux, where it is
// built and tested, and macOS on Apple Silicon, where its users run it. Each
// entry says what each system does; everything else is the same POSIX code
// on both.
//
// Differences handled where they arise, listed here so that this file is the
// one index of them:
// - Scanning strings in core replies: SSE2 on x86-64, a word-at-a-time scan
//   everywhere else, Apple Silicon included (json_tape.cpp).
// - `char` is signed on x86-64 and on Apple's arm64 but unsigned on Linux's
//   arm64, so the ARM build that stands in for a Mac here is made with
//   -fsigned-char (cmake/aarch64-linux-gnu.cmake).
// - Linking: fully static on Linux (the release preset); macOS has no static
//   C library, so the programs link its system libraries (CMakeLists.txt).
// - Doubles are written with std::to_chars, which Apple's libc++ has from
//   macOS 13.3: the deployment target (CMakeLists.txt).
// - Packages: .tar.gz everywhere, .deb only on Linux (CMakeLists.txt).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>

namespace platform {

// Sending to a peer that has gone must fail with EPIPE, never raise SIGPIPE
// (which the server also ignores process-wide).
// Linux: a flag on every send(). macOS: an option set once on the socket.
extern const int kSendFlags;
void no_sigpipe_on(int fd);

// What a failed connect() to a Unix socket says about the listener.
// Linux: a full queue of pending connections gives EAGAIN, and ECONNREFUSED
// means nobody listens on the path.
// macOS: a full queue gives ECONNREFUSED, exactly as a socket file nobody
// listens on does, so a refusal can come from a live but busy listener.
enum class Refused {
  No,         // another failure: the path names no listener
  Busy,       // the listener is there and its queue is full
  MaybeBusy,  // busy, or nobody there: only a later attempt tells
};
// A refusal that may be a busy listener is retried for
// limits::kMaybeBusyRetry before the listener is taken as gone (macOS only;
// Linux never answers MaybeBusy). A Linux build made with
// TRELVO_REFUSALS_AS_MACOS reads every refusal, a full queue's included, as
// macOS does, so that the link's and the demo core's handling of macOS's
// answers runs in the tests here (the clang-libcxx preset).
Refused connect_refused(int err);
// True when `path` names a socket file (so a refusal may be a busy listener).
bool is_socket_file(const char* path);

// Allocator set-up at start, before anything large is allocated.
// glibc: a fixed 1 MiB threshold above which blocks get their own mappings,
// so freeing a large buffer unmaps it. macOS: nothing needed.
void tune_allocator();
// Hands memory that was freed back to the system.
// glibc: malloc_trim. macOS: the allocator's pressure relief, which also
// empties its cache of freed large blocks. Elsewhere: nothing.
void return_free_memory();

// Makes a pipe on `fd` hold `bytes`, so that a large response is written in
// few rounds. Linux: F_SETPIPE_SZ. macOS: pipes grow by themselves; nothing.
void widen_pipe(int fd, int bytes);

// Whether a limit on a process's address space (RLIMIT_AS) is enforced, so
// that a test can make allocations fail. Linux: yes. macOS: accepted and
// ignored.
#ifdef __APPLE__
inline constexpr bool kAddressSpaceLimit = false;
#else
inline constexpr bool kAddressSpaceLimit = true;
#endif

// The resident memory of a process, for the memory checks of the tests and
// the soak. Linux: VmRSS and VmHWM of /proc/PID/status. macOS:
// proc_pid_rusage's resident size and lifetime peak physical footprint.
struct Memory {
  long resident_kib;
  long peak_kib;
};
std::optional<Memory> process_memory(pid_t pid);
// The peak resident memory in `usage` (as wait4() fills it), in KiB.
// Linux: ru_maxrss is in KiB. macOS: in bytes.
long peak_kib(const struct rusage& usage);

}  // namespace platform
