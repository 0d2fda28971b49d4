#include "fake_core.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "json.h"

namespace {

using Clock = std::chrono::steady_clock;

void set_cloexec_nonblocking(int fd) {
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

std::string with_id(std::string_view pattern, std::uint64_t id) {
  std::string text(pattern);
  for (auto [key, value] : {std::pair{"{ID}", id}, std::pair{"{NEXT}", id + 1}}) {
    std::string_view name = key;
    for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
      text.replace(at, name.size(), std::to_string(value));
    }
  }
  return text;
}

std::optional<std::string> FakeCore::Conn::read_line(std::chrono::milliseconds timeout) {
  auto until = Clock::now() + timeout;
  std::size_t newline;
  while ((newline = buffer_.find('\n')) == std::string::npos) {
    if (eof_ || !core_.wait_ready(fd_, POLLIN, until)) return std::nullopt;
    char chunk[65536];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
    eof_ = n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
  }
  std::string line = buffer_.substr(0, newline);
  buffer_.erase(0, newline + 1);
  {
    std::lock_guard lock(core_.mutex_);
    core_.lines_[index_].push_back(line);
  }
  core_.changed_.notify_all();
  return line;
}

std::optional<std::uint64_t> FakeCore::Conn::next_id(std::chrono::milliseconds timeout) {
  auto line = read_line(timeout);
  if (!line) return std::nullopt;
  auto message = json::parse(*line);
  const Json* id = message ? json::find(message.value(), "id") : nullptr;
  return id && id->is_number_unsigned() ? id->get<std::uint64_t>() : 0;
}

bool FakeCore::Conn::answer(std::string_view pattern, std::chrono::milliseconds timeout) {
  auto id = next_id(timeout);
  return id && send(with_id(pattern, *id) + "\n");
}

bool FakeCore::Conn::send(std::string_view bytes) {
  auto until = Clock::now() + kPatience * 4;
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR) ||
               !core_.wait_ready(fd_, POLLOUT, until)) {
      return false;
    }
  }
  return true;
}

bool FakeCore::Conn::wait_closed(std::chrono::milliseconds timeout) {
  auto until = Clock::now() + timeout;
  while (!eof_ && !core_.stopping() && Clock::now() < until) {
    read_line(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()));
  }
  return eof_;
}

FakeCore::Script FakeCore::after_hello(Script rest) {
  return [rest](Conn& conn) {
    if (conn.answer(R"({"id":{ID},"result":{"acceptedClientKind":"mcp","protocolVersion":1}})") &&
        rest) {
      rest(conn);
    }
  };
}

FakeCore::Script FakeCore::answering(std::string result) {
  return after_hello([result](Conn& conn) {
    while (conn.answer(R"({"id":{ID},"result":)" + result + "}", std::chrono::hours(1))) {
    }
  });
}

FakeCore::FakeCore(std::vector<Script> scripts, Script rest)
    : scripts_(std::move(scripts)), rest_(std::move(rest)) {
  // In-process tests of the upstream must survive writes to a closed socket.
  std::signal(SIGPIPE, SIG_IGN);
  char dir[] = "/tmp/tcoreXXXXXX";
  if (::mkdtemp(dir) == nullptr || ::pipe(stop_pipe_) != 0) return;
  dir_ = dir;
  path_ = dir_ + "/core.sock";
  for (int fd : stop_pipe_) set_cloexec_nonblocking(fd);
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
  set_cloexec_nonblocking(listen_fd_);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::listen(listen_fd_, 8) == 0) {
    thread_ = std::thread([this] { serve(); });
  }
}

FakeCore::~FakeCore() {
  // The pipe stays readable from now on, so every wait ends at once.
  if (stop_pipe_[1] >= 0 && ::write(stop_pipe_[1], "x", 1) < 0) std::abort();
  if (thread_.joinable()) thread_.join();
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]}) {
    if (fd >= 0) ::close(fd);
  }
  ::unlink(path_.c_str());
  ::rmdir(dir_.c_str());
}

bool FakeCore::wait_ready(int fd, short events, Clock::time_point until) const {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd fds[2] = {{fd, events, 0}, {stop_pipe_[0], POLLIN, 0}};
    int n = ::poll(fds, 2, static_cast<int>(std::max<long>(left.count(), 0)));
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && fds[1].revents == 0;
  }
}

bool FakeCore::stopping() const {
  pollfd stop{stop_pipe_[0], POLLIN, 0};
  return ::poll(&stop, 1, 0) > 0;
}

void FakeCore::serve() {
  for (std::size_t index = 0;
       wait_ready(listen_fd_, POLLIN, Clock::now() + std::chrono::hours(1));) {
    int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    set_cloexec_nonblocking(fd);
    {
      std::lock_guard lock(mutex_);
      lines_.emplace_back();
    }
    Conn conn(*this, fd, index);
    const Script& script = index < scripts_.size() ? scripts_[index] : rest_;
    ++index;
    if (script) script(conn);
    ::close(fd);
    {
      std::lock_guard lock(mutex_);
      ++finished_;
    }
    changed_.notify_all();
  }
}

std::vector<std::vector<std::string>> FakeCore::lines_by_connection() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool FakeCore::wait_for_lines(std::size_t count) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kPatience, [&] {
    std::size_t total = 0;
    for (const auto& connection : lines_) total += connection.size();
    return total >= count;
  });
}

bool FakeCore::wait_for_finished(std::size_t count) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kPatience, [&] { return finished_ >= count; });
}

std::vector<int> fill_listen_queue(const std::string& path, int* refusal) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  std::vector<int> queued;
  for (;;) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS) {
      if (refusal) *refusal = errno;
      ::close(fd);
      return queued;
    }
    queued.push_back(fd);
  }
}
