// The demo core as a misbehaving core, to try a host against faults. Every
// request, the hello included, may be answered late, in many small pieces,
// after noise lines, in part, or not at all; the connection may drop before,
// during or after the reply; a hello may be refused; and the whole core may
// vanish for a moment and come back. Faults follow a seed, so a run with the
// same seed and the same requests repeats itself.
#pragma once

#include <cstdint>
#include <string>

#include "protocol.h"
#include "result.h"
#include "socket_claim.h"
#include "store.h"

namespace demo {

struct ChaosOptions {
  std::uint64_t seed = 0;
  // Where to write one JSON line per event (a connection opened or closed, a
  // request with its fault, the core going down or coming back up); empty for
  // no log. A request's line is written before its fault is acted on.
  std::string log_path;
};

// Serves like serve(), with faults. Takes over `listen_fd`, which listens on
// `claim`'s path: the core closes it (and removes the socket file) when it
// vanishes, listens again when it returns, and closes its listener when
// `stop_fd` becomes readable. Fails, before serving, only when the log
// cannot be created.
Result<Done, std::string> serve_chaos(int listen_fd, SocketClaim& claim, int stop_fd,
                                      Capture& capture, const Switches& switches,
                                      const ChaosOptions& options);

}  // namespace demo
