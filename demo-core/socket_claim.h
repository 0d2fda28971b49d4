// Which core may listen on a socket path: the one that holds the lock on the
// file beside it (PATH.lock) for as long as it runs.
//
// Whether a core is alive is read from the lock, which every system answers
// alike, never from a refused connect: macOS refuses a connect to a busy
// core's full queue just as it refuses one to a socket nobody listens on. A
// socket file found at the path is replaced only when it is the one the last
// holder of the lock left there, or when nobody answers there on a system
// where a refusal says exactly that.
#pragma once

#include <string>

#include "result.h"

namespace demo {

class SocketClaim {
 public:
  // Takes the lock, creating missing parent folders. Fails, touching
  // nothing, when another core holds it. The error is one line without the
  // program name.
  static Result<SocketClaim, std::string> take(const std::string& path);

  SocketClaim(SocketClaim&& other) noexcept;
  SocketClaim& operator=(SocketClaim&&) = delete;
  // Removes the socket file this claim made, then the lock.
  ~SocketClaim();

  // A listening, non-blocking socket at the path, in place of a file left
  // there by an earlier core. Refuses a path held by another program or by
  // something that is not a socket.
  Result<int, std::string> listen();

  const std::string& path() const { return path_; }

 private:
  SocketClaim(std::string path, int lock_fd) : path_(std::move(path)), lock_fd_(lock_fd) {}
  // Whether the socket file at the path is the one a holder of the lock made.
  bool made_by_a_holder() const;
  void record_socket();

  std::string path_;
  int lock_fd_ = -1;
};

}  // namespace demo
