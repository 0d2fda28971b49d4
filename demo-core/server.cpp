#include "server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <optional>

#include "io.h"
#include "platform.h"
#include "sample_data.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;

// A client that sends more than this without a line break is dropped.
constexpr std::size_t kMaxLine = 64 * 1024 * 1024;
// While this much of a client's replies waits unsent, its further requests
// are neither read nor answered. About one large reply: a single reply may
// exceed it and is still sent whole, so a client holds at most this plus one
// reply plus one request line.
constexpr std::size_t kMaxPendingOutput = 4 * 1024 * 1024;
// A client over the cap that takes no byte for this long is dropped. Clients
// read each reply as it arrives; one that takes nothing for two seconds while
// megabytes wait has stopped reading, and would otherwise keep them forever.
constexpr auto kStallLimit = std::chrono::seconds(2);
constexpr std::size_t kReadChunk = 64 * 1024;
// A request buffer grown past this by one long line is released afterwards.
constexpr std::size_t kKeptInputCapacity = 1024 * 1024;

struct Client {
  int fd = -1;
  std::string in;
  std::size_t scanned = 0;  // in[0, scanned) holds no line break
  Outbox out;
  Clock::time_point last_progress = Clock::now();
  bool peer_done = false;  // the client will send nothing more
  bool broken = false;     // close now, dropping unsent replies
  Connection connection;

  bool over_cap() const { return out.pending() >= kMaxPendingOutput; }
  bool wants_input() const { return !peer_done && !broken && !over_cap(); }
};

// Answers the complete lines in the client's buffer, in order, until its
// unsent replies reach the cap; the rest wait for it to read.
void take_lines(Client& c, Capture& capture, const Switches& switches) {
  std::size_t start = 0;
  bool answered = false;
  while (!c.over_cap() && !c.broken) {
    auto nl = c.in.find('\n', std::max(start, c.scanned));
    if (nl == std::string::npos) break;
    std::string_view line(c.in.data() + start, nl - start);
    if (auto reply = handle_line(capture, switches, c.connection, line)) {
      c.out.push(std::move(*reply));
      c.out.push("\n");
      answered = true;
    }
    start = nl + 1;
  }
  c.in.erase(0, start);
  c.scanned = c.over_cap() ? 0 : c.in.size();
  if (c.in.empty() && c.in.capacity() > kKeptInputCapacity) std::string().swap(c.in);
  if (c.scanned > kMaxLine) c.broken = true;
  if (answered) c.last_progress = Clock::now();
}

// Reads what the client has sent, at most one line's limit beyond what is
// already buffered.
void read_from(Client& c) {
  char buf[kReadChunk];
  while (c.in.size() <= kMaxLine) {
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      c.in.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      c.peer_done = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      c.broken = true;
    }
    break;
  }
}

void write_to(Client& c) {
  auto sent = c.out.send_to(c.fd);
  if (!sent) {
    c.broken = true;
  } else if (*sent > 0) {
    c.last_progress = Clock::now();
  }
}

// Reads, answers and writes what the client is ready for. Afterwards either
// no complete request waits or the client is over the cap (and polled for
// writing), so nothing is left that only a wake-up could start.
void serve_client(Client& c, short revents, Capture& capture, const Switches& switches) {
  if (c.wants_input() && (revents & (POLLIN | POLLHUP | POLLERR))) read_from(c);
  take_lines(c, capture, switches);
  if (c.out.pending() > 0) write_to(c);
  take_lines(c, capture, switches);
  if (c.over_cap() && Clock::now() - c.last_progress >= kStallLimit) c.broken = true;
}

bool done(const Client& c) {
  return c.broken || (c.peer_done && c.out.pending() == 0 && c.scanned == c.in.size());
}

std::uint64_t wall_ms() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

class Ticker {
 public:
  explicit Ticker(bool on) : on_(on), next_(Clock::now() + std::chrono::seconds(1)) {}

  // When the next tick is due; none when off.
  std::optional<Clock::time_point> next() const {
    return on_ ? std::optional<Clock::time_point>(next_) : std::nullopt;
  }

  bool due() {
    if (!on_ || Clock::now() < next_) return false;
    next_ += std::chrono::seconds(1);
    return true;
  }

  std::uint64_t count = 0;

 private:
  bool on_;
  Clock::time_point next_;
};

}  // namespace

bool accept_clients(int listen_fd, const std::function<void(int)>& take) {
  for (;;) {
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Anything but "none waiting" would leave the listener readable.
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    if (!set_nonblocking(fd)) {
      close(fd);
      continue;
    }
    platform::no_sigpipe_on(fd);
    take(fd);
  }
}

void serve(int listen_fd, int stop_fd, Capture& capture, const Switches& switches, bool live) {
  std::list<Client> clients;
  Ticker ticker(live);
  Clock::time_point listen_again = Clock::now();
  PollSet fds(stop_fd);
  auto add_client = [&clients](int fd) {
    clients.push_back(Client{});
    clients.back().fd = fd;
  };
  for (;;) {
    std::optional<Clock::time_point> until = ticker.next();
    bool listening = Clock::now() >= listen_again;
    if (!listening) keep_earlier(until, listen_again);
    fds.start(listening ? listen_fd : -1);
    for (const Client& c : clients) {
      short events = 0;
      if (c.wants_input()) events |= POLLIN;
      if (c.out.pending() > 0) events |= POLLOUT;
      if (c.over_cap()) keep_earlier(until, c.last_progress + kStallLimit);
      fds.add(c.fd, events);
    }
    if (!fds.wait(until)) return;
    if (ticker.due()) add_live_activity(capture, wall_ms(), ticker.count++);
    std::size_t i = 2;
    for (Client& c : clients) serve_client(c, fds.revents(i++), capture, switches);
    if (fds.listener_ready() && !accept_clients(listen_fd, add_client)) {
      listen_again = Clock::now() + kAcceptPause;
    }
    clients.remove_if([](const Client& c) {
      if (done(c)) close(c.fd);
      return done(c);
    });
  }
}

}  // namespace demo
