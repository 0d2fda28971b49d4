// The core link's clock: the time, and the one blocking wait the link does.
// The server runs on the real one; tests hand the link one whose time moves
// only when they say, so that its time limits are checked without waiting
// them out.
#pragma once

#include <chrono>

class LinkClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~LinkClock() = default;
  virtual time_point now() const = 0;
  // Waits for `events` on `fd` until `end`. True when ready (or when polling
  // fails: the next I/O call tells), false when `end` came first. A negative
  // `fd` is never ready: the wait is a pause until `end`.
  virtual bool wait_until(int fd, short events, time_point end) = 0;

  // steady_clock and poll().
  static LinkClock& real();
};
