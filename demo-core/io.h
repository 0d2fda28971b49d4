// The demo core's socket plumbing, shared by the plain core and the chaos
// core: one poll() over the stop descriptor, the listener and the clients,
// and one way to send what waits for a client.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace demo {

// Makes `fd` non-blocking and closed on exec; false when it cannot.
bool set_nonblocking(int fd);

// `next` made the earlier of itself and `t` (none is no limit yet).
inline void keep_earlier(std::optional<std::chrono::steady_clock::time_point>& next,
                         std::chrono::steady_clock::time_point t) {
  if (!next || t < *next) next = t;
}

// Bytes waiting to go to one client, in order.
class Outbox {
 public:
  // Short pieces are gathered, so that they go out in one write; long ones
  // are queued as they are, never copied.
  void push(std::string bytes);
  std::size_t pending() const { return pending_; }
  // Sends what the socket takes now, in as few writes as it takes: the
  // bytes sent, or nullopt when the client is gone.
  std::optional<std::size_t> send_to(int fd);

 private:
  std::deque<std::string> parts_;
  std::size_t offset_ = 0;  // bytes of parts_.front() already sent
  std::size_t pending_ = 0;
};

// One wait of the loop: for the stop descriptor, the listener and the
// clients added since start().
class PollSet {
 public:
  explicit PollSet(int stop_fd) : stop_fd_(stop_fd) {}
  // A new round; a negative `listen_fd` takes no clients this round.
  void start(int listen_fd);
  // Watches `fd` for `events` this round: the index of its answer.
  std::size_t add(int fd, short events);
  // Waits until something is ready or `until` (none: no limit). False when
  // the core is to stop, or poll() fails.
  bool wait(std::optional<std::chrono::steady_clock::time_point> until);
  bool listener_ready() const { return fds_[1].revents & POLLIN; }
  short revents(std::size_t index) const { return fds_[index].revents; }

 private:
  int stop_fd_;
  std::vector<pollfd> fds_;
};

}  // namespace demo
