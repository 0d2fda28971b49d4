// The socket side of the demo core: one thread, one poll() loop serving the
// listening socket and every client, each connection with its own hello.
#pragma once

#include <string>

#include "protocol.h"
#include "result.h"
#include "store.h"

namespace demo {

// Listens on `path`: creates missing parent folders and replaces a stale
// socket file. Refuses a path held by a live core or by something that is
// not a socket. The error is one line without the program name.
Result<int, std::string> listen_on(const std::string& path);

// Serves clients until `stop_fd` becomes readable. With `live`, adds a flow
// and a console message every second.
void serve(int listen_fd, int stop_fd, Capture& capture, const Switches& switches, bool live);

}  // namespace demo
