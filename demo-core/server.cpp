#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <list>

#include "sample_data.h"

namespace demo {
namespace {

// A client that sends more than this without a line break is dropped.
constexpr std::size_t kMaxLine = 64 * 1024 * 1024;
// Stop reading requests from a client while this much of its replies waits.
constexpr std::size_t kMaxPendingOutput = 32 * 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kBacklog = 16;

struct Client {
  int fd = -1;
  std::string in;
  std::string out;
  std::size_t out_offset = 0;
  bool peer_done = false;  // the client will send nothing more
  bool broken = false;     // close now, dropping unsent replies
  Connection connection;

  std::size_t pending() const { return out.size() - out_offset; }
};

bool set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

std::string os_error(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool fill_address(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

bool someone_listens(const sockaddr_un& addr) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  bool live = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return live;
}

Result<Done, std::string> clear_path(const std::string& path, const sockaddr_un& addr) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Done{};
  if (!S_ISSOCK(st.st_mode)) return Err{path + " exists and is not a socket; not replacing it"};
  if (someone_listens(addr)) return Err{"another core is already listening on " + path};
  if (unlink(path.c_str()) != 0) return Err{os_error("cannot remove the stale socket " + path)};
  return Done{};
}

Result<Done, std::string> make_parents(const std::string& path) {
  auto parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return Done{};
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  if (ec) return Err{"cannot create " + parent.string() + ": " + ec.message()};
  return Done{};
}

// Answers every complete line in the client's buffer.
void take_lines(Client& c, Capture& capture, const Switches& switches) {
  std::size_t start = 0;
  for (auto nl = c.in.find('\n'); nl != std::string::npos; nl = c.in.find('\n', start)) {
    std::string_view line(c.in.data() + start, nl - start);
    if (auto reply = handle_line(capture, switches, c.connection, line)) {
      c.out += *reply;
      c.out += '\n';
    }
    start = nl + 1;
  }
  c.in.erase(0, start);
  if (c.in.size() > kMaxLine) c.broken = true;
}

void read_from(Client& c, Capture& capture, const Switches& switches) {
  char buf[kReadChunk];
  for (;;) {
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      c.in.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) {
      c.peer_done = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      c.broken = true;
    } else if (errno == EINTR) {
      continue;
    }
    break;
  }
  take_lines(c, capture, switches);
}

void write_to(Client& c) {
  while (c.pending() > 0) {
    ssize_t n = send(c.fd, c.out.data() + c.out_offset, c.pending(), 0);
    if (n > 0) {
      c.out_offset += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) c.broken = true;
      return;
    }
  }
  c.out.clear();
  c.out_offset = 0;
}

void accept_all(int listen_fd, std::list<Client>& clients) {
  for (;;) {
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) return;  // EAGAIN: no more waiting; anything else: try next round
    if (!set_nonblocking(fd)) {
      close(fd);
      continue;
    }
#ifdef SO_NOSIGPIPE
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    clients.push_back(Client{});
    clients.back().fd = fd;
  }
}

std::uint64_t wall_ms() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

class Ticker {
 public:
  explicit Ticker(bool on) : on_(on), next_(Clock::now() + std::chrono::seconds(1)) {}

  // Milliseconds until the next tick, or -1 (wait forever) when off.
  int timeout() const {
    if (!on_) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_ - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
  }

  bool due() {
    if (!on_ || Clock::now() < next_) return false;
    next_ += std::chrono::seconds(1);
    return true;
  }

  std::uint64_t count = 0;

 private:
  using Clock = std::chrono::steady_clock;
  bool on_;
  Clock::time_point next_;
};

}  // namespace

Result<int, std::string> listen_on(const std::string& path) {
  sockaddr_un addr;
  if (!fill_address(path, addr)) {
    return Err{"socket path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) +
               " bytes: " + path};
  }
  if (auto made = make_parents(path); !made) return Err{made.error()};
  if (auto cleared = clear_path(path, addr); !cleared) return Err{cleared.error()};
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return Err{os_error("cannot create a socket")};
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, kBacklog) != 0 || !set_nonblocking(fd)) {
    std::string error = os_error("cannot listen on " + path);
    close(fd);
    return Err{error};
  }
  return fd;
}

void serve(int listen_fd, int stop_fd, Capture& capture, const Switches& switches, bool live) {
  std::list<Client> clients;
  Ticker ticker(live);
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({stop_fd, POLLIN, 0});
    fds.push_back({listen_fd, POLLIN, 0});
    for (const Client& c : clients) {
      short events = 0;
      if (!c.peer_done && c.pending() < kMaxPendingOutput) events |= POLLIN;
      if (c.pending() > 0) events |= POLLOUT;
      fds.push_back({c.fd, events, 0});
    }
    if (poll(fds.data(), static_cast<nfds_t>(fds.size()), ticker.timeout()) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if (ticker.due()) add_live_activity(capture, wall_ms(), ticker.count++);
    std::size_t i = 2;
    for (Client& c : clients) {
      short revents = fds[i++].revents;
      if (revents & (POLLIN | POLLHUP | POLLERR)) read_from(c, capture, switches);
      if (c.pending() > 0) write_to(c);
    }
    if (fds[1].revents & POLLIN) accept_all(listen_fd, clients);
    clients.remove_if([](const Client& c) {
      bool done = c.broken || (c.peer_done && c.pending() == 0);
      if (done) close(c.fd);
      return done;
    });
  }
}

}  // namespace demo
