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
// - poll() on a terminal: Linux answers; macOS does not take terminals, so
//   the session's idle release never runs for a person typing at one
//   (session.cpp).
// - How the tests read a process's memory (tests/support/process_memory.h).
#pragma once

namespace platform {

// Sending to a peer that has gone must fail with EPIPE, never raise SIGPIPE
// (which the server also ignores process-wide).
// Linux: MSG_NOSIGNAL on every send(). macOS: SO_NOSIGPIPE, set once on the
// socket, which also covers the demo core's writev(); its SDK defines
// MSG_NOSIGNAL too, and send() passes it there as well.
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
// macOS does, so that the upstream's and the demo core's handling of macOS's
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

}  // namespace platform
