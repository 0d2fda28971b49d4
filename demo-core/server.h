// The socket side of the demo core: one thread, one poll() loop serving the
// listening socket and every client, each connection with its own hello.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "protocol.h"
#include "result.h"
#include "store.h"

namespace demo {

// After accept() fails for want of descriptors or memory, the listener stays
// readable; leave it alone this long instead of spinning on it.
inline constexpr std::chrono::milliseconds kAcceptPause{100};

// Accepts every waiting client and hands each to `take`, set up for a poll()
// loop: non-blocking, closed on exec, and raising no SIGPIPE where the
// platform can say so per socket. False when accepting failed (out of
// descriptors or memory): the caller then pauses for kAcceptPause.
bool accept_clients(int listen_fd, const std::function<void(int)>& take);

// Serves clients until `stop_fd` becomes readable. With `live`, adds a flow
// and a console message every second.
void serve(int listen_fd, int stop_fd, Capture& capture, const Switches& switches, bool live);

}  // namespace demo
