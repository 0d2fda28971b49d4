// The time, and every wait on a descriptor, for the upstream and the session
// loop. The server runs on the real clock; tests hand over one whose time
// moves only when they say, so that the time rules are checked without
// waiting them out.
#pragma once

#include <chrono>

class UpstreamClock {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~UpstreamClock() = default;
  virtual time_point now() const = 0;
  // Waits for `events` on `fd` until `end`. True when ready (or when polling
  // fails: the next I/O call tells), false when `end` came first. A negative
  // `fd` is never ready: the wait is a pause until `end`.
  virtual bool wait_until(int fd, short events, time_point end) = 0;
  // Whether `fd` is ready for `events` now, without waiting.
  virtual bool ready(int fd, short events);

  // steady_clock and poll().
  static UpstreamClock& real();
};
