#include "upstream_clock.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace {

class RealClock final : public UpstreamClock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }

  bool wait_until(int fd, short events, time_point end) override {
    for (;;) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now());
      if (left.count() <= 0) return false;
      pollfd p{fd, events, 0};
      int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
      if (rc > 0) return true;
      if (rc < 0 && errno != EINTR) return true;  // let the next I/O call report it
    }
  }
};

}  // namespace

bool UpstreamClock::ready(int fd, short events) {
  pollfd p{fd, events, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc != 0;  // a failed poll: the next I/O call tells
}

UpstreamClock& UpstreamClock::real() {
  static RealClock clock;
  return clock;
}
