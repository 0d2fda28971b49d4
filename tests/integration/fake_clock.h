// A clock for the upstream whose time moves only when a test says so, so that
// the upstream's time limits are checked in moments instead of waited out.
//
// A wait of the upstream first looks, without blocking, whether its socket is
// ready. When it is not, time passes as it is told: a pause between connect
// attempts runs out at once; a wait on a socket takes the time that the fake
// core's script lets pass with pass(), since only the script knows whether it
// still means to answer. pass() returns once the upstream's wait has taken the
// time, so whatever the script does next (answer late, read what was written)
// happens after the upstream saw the time go by, however the threads are scheduled.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "upstream_clock.h"

class FakeClock final : public UpstreamClock {
 public:
  using Span = std::chrono::nanoseconds;
  static constexpr Span kForever = std::chrono::hours(24);  // past every limit
  // The real time one thread waits for the other before the test fails.
  static constexpr std::chrono::milliseconds kPatience{5000};

  FakeClock() {
    if (::pipe(offered_) != 0) std::abort();
    for (int fd : offered_) ::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  ~FakeClock() override {
    for (int fd : offered_) ::close(fd);
  }

  time_point now() const override {
    std::lock_guard lock(mutex_);
    return now_;
  }

  bool wait_until(int fd, short events, time_point end) override {
    // As the real clock: no look when no time is left. A pause has nothing to
    // wait for.
    if (now() >= end) return false;
    if (fd < 0) return move_to(end, end);
    // The time is not looked at again: only offers move it from here, or
    // advance(), and data that comes after an advance() past `end` finds the
    // wait ready, as a reply that comes just in time does when the upstream wakes
    // late.
    for (;;) {
      pollfd fds[2] = {{fd, events, 0}, {offered_[0], POLLIN, 0}};
      int rc = ::poll(fds, 1, 0);
      if (rc == 0) rc = ::poll(fds, 2, static_cast<int>(kPatience.count()));
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0 || fds[0].revents != 0) return true;
      if (rc == 0) {
        ADD_FAILURE() << "the upstream waits on a socket that gets no answer and no time";
        return false;
      }
      char byte;
      std::optional<Span> span;
      if (::read(offered_[0], &byte, 1) == 1) {
        std::lock_guard lock(mutex_);
        span.swap(offer_);
      }
      if (span && !move_to(std::min(end, now() + *span), end, true)) return false;
    }
  }

  // From the fake core's thread: lets `span` pass in the upstream's current or
  // next wait on its socket that finds nothing ready, and returns once that
  // wait has taken it. True when the wait goes on, false when it ended first.
  bool pass(Span span = kForever) {
    std::unique_lock lock(mutex_);
    offer_ = span;
    went_on_.reset();
    if (::write(offered_[1], "x", 1) != 1) std::abort();
    if (changed_.wait_for(lock, kPatience, [this] { return went_on_.has_value(); })) {
      return *went_on_;
    }
    offer_.reset();
    char byte;
    (void)::read(offered_[0], &byte, 1);
    ADD_FAILURE() << "no wait of the upstream took the time offered";
    return false;
  }

  // Moves time on from any thread, outside the upstream's waits: the time it takes
  // to read a reply, or to shape a result after the call.
  void advance(Span span) {
    std::lock_guard lock(mutex_);
    now_ += span;
  }

  // The time each wait let pass, in order.
  std::vector<Span> lapses() const {
    std::lock_guard lock(mutex_);
    return lapses_;
  }

  // Runs on the upstream's thread whenever a wait has let time pass.
  std::function<void()> after_lapse;

 private:
  // Moves time on to `to` in a wait that ends at `end`, by an offer of pass()
  // or not; true when the wait goes on.
  bool move_to(time_point to, time_point end, bool offered = false) {
    {
      std::lock_guard lock(mutex_);
      lapses_.push_back(to - now_);
      now_ = to;
      if (offered) went_on_ = to < end;
    }
    changed_.notify_all();
    if (after_lapse) after_lapse();
    return to < end;
  }

  int offered_[2] = {-1, -1};  // a byte for every offer of pass()
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  time_point now_{};
  std::vector<Span> lapses_;
  std::optional<Span> offer_;
  std::optional<bool> went_on_;  // of the wait that took the last offer
};
