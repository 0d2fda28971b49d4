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

namespace {

using Clock = std::chrono::steady_clock;

void set_cloexec_nonblocking(int fd) {
  ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int accept_cloexec(int listen_fd) {
#ifdef __linux__
  // Atomically, so that a process spawned meanwhile does not inherit it.
  return ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
#else
  int fd = ::accept(listen_fd, nullptr, nullptr);
  if (fd >= 0) set_cloexec_nonblocking(fd);
  return fd;
#endif
}

int remaining_ms(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

// ---- Conn -------------------------------------------------------------------

std::optional<std::string> FakeCore::Conn::read_line(std::chrono::milliseconds timeout) {
  auto until = Clock::now() + timeout;
  for (;;) {
    auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      core_.record(index_, line);
      return line;
    }
    if (eof_ || fd_ < 0) return std::nullopt;
    if (!core_.wait_ready(fd_, POLLIN, until)) return std::nullopt;
    char chunk[65536];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      eof_ = true;
    }
  }
}

std::optional<FakeCore::Request> FakeCore::Conn::next_request(std::chrono::milliseconds timeout) {
  auto line = read_line(timeout);
  if (!line) return std::nullopt;
  Request request{*line, Json::parse(*line, nullptr, false), 0, {}};
  if (request.message.is_discarded()) request.message = nullptr;
  if (const Json* id = json::find(request.message, "id"); id && id->is_number_unsigned()) {
    request.id = id->get<std::uint64_t>();
  }
  if (const Json* method = json::find(request.message, "method"); method && method->is_string()) {
    request.method = method->get<std::string>();
  }
  return request;
}

bool FakeCore::Conn::send(std::string_view bytes) {
  auto until = Clock::now() + kPatience * 4;
  while (!bytes.empty()) {
    if (fd_ < 0) return false;
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!core_.wait_ready(fd_, POLLOUT, until)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool FakeCore::Conn::send_line(std::string_view line) {
  std::string text(line);
  text += '\n';
  return send(text);
}

bool FakeCore::Conn::reply(std::uint64_t id, const Json& result) {
  return send_line("{\"id\":" + std::to_string(id) + ",\"result\":" + json::compact(result) + "}");
}

bool FakeCore::Conn::reply_error(std::uint64_t id, std::string_view code,
                                 std::string_view message) {
  Json error = {{"code", code}, {"message", message}};
  return send_line("{\"error\":" + json::compact(error) + ",\"id\":" + std::to_string(id) + "}");
}

bool FakeCore::Conn::accept_hello(const Json& result) {
  auto hello = next_request();
  return hello && reply(hello->id, result);
}

bool FakeCore::Conn::wait_closed(std::chrono::milliseconds timeout) {
  auto until = Clock::now() + timeout;
  while (!eof_ && fd_ >= 0 && !core_.stopping() && Clock::now() < until) {
    read_line(std::chrono::milliseconds(remaining_ms(until)));
  }
  return eof_;
}

void FakeCore::Conn::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// ---- Canned scripts ---------------------------------------------------------

Json FakeCore::standard_hello_result() {
  return Json::parse(R"({"acceptedClientKind":"mcp","protocolVersion":1})");
}

FakeCore::Script FakeCore::answering(Json result) {
  return [result](Conn& conn) {
    if (!conn.accept_hello()) return;
    while (auto request = conn.next_request(std::chrono::hours(1))) {
      if (!conn.reply(request->id, result)) return;
    }
  };
}

FakeCore::Script FakeCore::after_hello(Script rest) {
  return [rest](Conn& conn) {
    if (conn.accept_hello()) rest(conn);
  };
}

FakeCore::Script FakeCore::closing() {
  return [](Conn&) {};
}

// ---- FakeCore ---------------------------------------------------------------

FakeCore::FakeCore(std::vector<Script> scripts, Script rest)
    : scripts_(std::move(scripts)), rest_(std::move(rest)) {
  // The program ignores broken pipes process-wide; in-process tests of the
  // link must too, or a write to a closed socket would end the test binary.
  std::signal(SIGPIPE, SIG_IGN);

  char dir[] = "/tmp/tcoreXXXXXX";
  if (::mkdtemp(dir) == nullptr) return;
  dir_ = dir;
  path_ = dir_ + "/core.sock";

  if (::pipe(stop_pipe_) != 0) return;
  set_cloexec_nonblocking(stop_pipe_[0]);
  set_cloexec_nonblocking(stop_pipe_[1]);

  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return;
  set_cloexec_nonblocking(fd);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return;
  }
  listen_fd_ = fd;
  thread_ = std::thread([this] { serve(); });
}

FakeCore::~FakeCore() {
  stop();
  for (int fd : stop_pipe_) {
    if (fd >= 0) ::close(fd);
  }
  if (!path_.empty()) ::unlink(path_.c_str());
  if (!dir_.empty()) ::rmdir(dir_.c_str());
}

void FakeCore::stop() {
  if (stop_pipe_[1] >= 0) {
    char byte = 1;
    // The pipe stays readable from now on, so every later wait ends at once.
    [[maybe_unused]] ssize_t n = ::write(stop_pipe_[1], &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

bool FakeCore::wait_ready(int fd, short events, Clock::time_point until) const {
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {stop_pipe_[0], POLLIN, 0}};
    int n = ::poll(fds, 2, remaining_ms(until));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (fds[1].revents != 0) return false;
    return fds[0].revents != 0;
  }
}

bool FakeCore::stopping() const {
  pollfd stop{stop_pipe_[0], POLLIN, 0};
  return ::poll(&stop, 1, 0) > 0;
}

void FakeCore::serve() {
  std::size_t index = 0;
  for (;;) {
    auto forever = Clock::now() + std::chrono::hours(1);
    if (!wait_ready(listen_fd_, POLLIN, forever)) return;
    int fd = accept_cloexec(listen_fd_);
    if (fd < 0) continue;
    {
      std::lock_guard lock(mutex_);
      lines_.emplace_back();
    }
    Conn conn(*this, fd, index);
    const Script& script = index < scripts_.size() ? scripts_[index] : rest_;
    ++index;
    if (script) script(conn);
    conn.close();
    {
      std::lock_guard lock(mutex_);
      ++finished_;
    }
    changed_.notify_all();
  }
}

void FakeCore::record(std::size_t connection, std::string line) {
  {
    std::lock_guard lock(mutex_);
    lines_[connection].push_back(std::move(line));
    ++total_lines_;
  }
  changed_.notify_all();
}

std::vector<std::string> FakeCore::lines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> all;
  for (const auto& connection : lines_) all.insert(all.end(), connection.begin(), connection.end());
  return all;
}

std::vector<std::vector<std::string>> FakeCore::lines_by_connection() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t FakeCore::connections() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

bool FakeCore::wait_for_lines(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return total_lines_ >= count; });
}

bool FakeCore::wait_for_finished(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return finished_ >= count; });
}
