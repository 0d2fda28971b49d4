#include "upstream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform.h"

namespace {

// A non-blocking socket for one connect attempt, or -1.
int new_socket() {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
      ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    ::close(fd);
    return -1;
  }
  platform::no_sigpipe_on(fd);
  return fd;
}

}  // namespace

Upstream::Upstream(std::string path, UpstreamClock& clock)
    : path_(std::move(path)), clock_(clock) {}

Upstream::~Upstream() {
  disconnect();
}

void Upstream::disconnect() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  reader_.reset();
}

bool Upstream::peer_gone() {
  if (!clock_.ready(fd_, POLLIN)) return false;
  char byte;
  // Unread bytes mean nothing yet; an end of stream with none, or an error,
  // means closed.
  ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

Upstream::Clock::time_point Upstream::bounded(std::chrono::milliseconds limit) const {
  auto own = clock_.now() + limit;
  return (deadline_ && *deadline_ < own) ? *deadline_ : own;
}

UpstreamError Upstream::timed_out(Clock::time_point end, const char* what) const {
  if (deadline_ && end == *deadline_) return UpstreamError::deadline_exceeded();
  return UpstreamError::transport(what);
}

Result<int, UpstreamError> Upstream::open_socket() {
  sockaddr_un addr{};
  // A path that does not fit the address structure cannot name a listening
  // core; refuse it rather than truncate it.
  if (path_.empty() || path_.size() >= sizeof(addr.sun_path)) {
    return Err{UpstreamError::not_running()};
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path_.data(), path_.size());

  const auto end = bounded(limits::kConnect);
  // A refusal that may be a busy listener is retried for a short while only,
  // so that a socket file left by a core that is gone still reads as not
  // running at once.
  const auto maybe_busy_end = std::min(end, clock_.now() + limits::kMaybeBusyRetry);
  for (;;) {
    // Every attempt on a fresh socket: one whose connect failed may not be
    // used again on every system.
    int fd = new_socket();
    if (fd < 0) return Err{UpstreamError::not_running()};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    int err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      if (!clock_.wait_until(fd, POLLOUT, end)) {
        ::close(fd);
        return Err{timed_out(end, "connect timeout")};
      }
      int so_error = 0;
      socklen_t len = sizeof so_error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0 && so_error == 0) return fd;
      ::close(fd);
      return Err{UpstreamError::not_running()};
    }
    ::close(fd);
    const platform::Refused refused = platform::connect_refused(err);
    const bool busy = refused == platform::Refused::Busy ||
                      (refused == platform::Refused::MaybeBusy && clock_.now() < maybe_busy_end &&
                       platform::is_socket_file(path_.c_str()));
    if (!busy) return Err{UpstreamError::not_running()};
    // The core is there but its queue of connections is full. Try again
    // shortly, within the connect limit.
    if (clock_.now() >= end) return Err{timed_out(end, "connect timeout")};
    clock_.wait_until(-1, 0, std::min(end, clock_.now() + limits::kBusyPause));
  }
}

Result<Done, UpstreamError> Upstream::hello() {
  auto reply = exchange("hello", Json::object({{"clientKind", "mcp"}, {"protocolVersion", 1u}}));
  if (!reply) {
    UpstreamError error = std::move(reply).error();
    if (error.kind == UpstreamError::Kind::CoreError && error.code == "version_mismatch") {
      return Err{UpstreamError::protocol_mismatch()};
    }
    return Err{std::move(error)};
  }
  const json::Tape& tape = reply.value().tape();
  const std::uint32_t result = reply.value().node();
  const std::uint32_t kind = tape.find(result, "acceptedClientKind");
  bool accepted = tape.uint_value(tape.find(result, "protocolVersion")) == std::uint64_t{1} &&
                  tape.is(kind, json::Tape::Kind::String) && tape.string(kind) == "mcp";
  if (!accepted) return Err{UpstreamError::protocol_mismatch()};
  return Done{};
}

Result<Done, UpstreamError> Upstream::connect() {
  auto fd = open_socket();
  if (!fd) return Err{std::move(fd).error()};
  disconnect();
  fd_ = fd.value();
  auto said = hello();
  if (!said) disconnect();
  return said;
}

Result<Done, UpstreamError> Upstream::write_all(std::string_view bytes, Clock::time_point end,
                                                bool* sent) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), platform::kSendFlags);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      if (sent) *sent = true;
      continue;
    }
    if (n == 0) return Err{UpstreamError::transport("failed to write whole buffer")};
    int err = errno;
    if (err == EINTR) continue;
    if (err != EAGAIN && err != EWOULDBLOCK)
      return Err{UpstreamError::transport(std::strerror(err))};
    if (!clock_.wait_until(fd_, POLLOUT, end)) return Err{timed_out(end, "write timeout")};
  }
  return Done{};
}

Result<Done, UpstreamError> Upstream::receive(Clock::time_point end) {
  for (;;) {
    std::size_t room = 0;
    char* at = reader_.space(room);
    ssize_t n = ::recv(fd_, at, room, 0);
    if (n > 0) {
      reader_.received(static_cast<std::size_t>(n));
      // A core that never stops sending and never ends the line must not
      // outlast the limits either.
      if (clock_.now() >= end) return Err{timed_out(end, "read timeout")};
      return Done{};
    }
    if (n == 0) {
      reader_.closed();
      return Done{};
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err != EAGAIN && err != EWOULDBLOCK)
      return Err{UpstreamError::transport(std::strerror(err))};
    if (!clock_.wait_until(fd_, POLLIN, end)) return Err{timed_out(end, "read timeout")};
  }
}

namespace {

// The outcome of a matched reply: its "error" (last wins, like every member)
// as a core error, else its "result".
AnswerResult outcome_of(ReplyReader& reader) {
  json::Tape& tape = reader.tape();
  std::uint32_t error = tape.find(tape.root(), "error");
  if (error != json::Tape::kNone) {
    std::uint32_t code = tape.find(error, "code");
    std::uint32_t message = tape.find(error, "message");
    return Err{UpstreamError::core_error(
        tape.is(code, json::Tape::Kind::String) ? std::string(tape.string(code)) : "unknown",
        tape.is(message, json::Tape::Kind::String) ? std::string(tape.string(message)) : "")};
  }
  return Answer(tape, tape.find(tape.root(), "result"));
}

}  // namespace

AnswerResult Upstream::exchange(const std::string& method, const Json& params, bool* sent) {
  if (!connected()) return Err{UpstreamError::not_running()};
  std::uint64_t id = next_id_++;

  Json request = Json::object({{"id", id}, {"method", method}});
  if (!params.is_null()) request["params"] = params;
  request_ = json::compact(request);
  request_ += '\n';
  if (auto written = write_all(request_, bounded(limits::kWrite), sent); !written) {
    return Err{std::move(written).error()};
  }

  reader_.expect(id);
  int lines = -1;
  Clock::time_point line_end;
  for (;;) {
    ReplyReader::Step step = reader_.step();
    if (step == ReplyReader::Step::Failed) {
      return Err{UpstreamError::transport(reader_.failure())};
    }
    if (step != ReplyReader::Step::NeedMore && deadline_ && clock_.now() >= *deadline_) {
      // Reading huge lines can take the call past its deadline.
      return Err{UpstreamError::deadline_exceeded()};
    }
    if (step == ReplyReader::Step::Matched) return outcome_of(reader_);
    if (reader_.lines_read() != lines) {  // each line has its own limit
      lines = reader_.lines_read();
      line_end = bounded(limits::kLineRead);
    }
    if (step == ReplyReader::Step::Skipped) continue;
    if (auto got = receive(line_end); !got) return Err{std::move(got).error()};
  }
}

AnswerResult Upstream::call_inner(const std::string& method, const Json& params, Resend resend) {
  const bool once = resend == Resend::Never;
  // A broken connection (or a confused core) is started afresh, once. A
  // request that must not run twice is resent only when it never left, and a
  // core gone since the last call is looked for before it is sent.
  for (int attempt = 0;; ++attempt) {
    if (attempt > 0 || !connected() || (once && peer_gone())) {
      disconnect();
      if (auto ready = connect(); !ready) return Err{std::move(ready).error()};
    }
    bool sent = false;
    auto outcome = exchange(method, params, &sent);
    if (outcome || outcome.error().kind != UpstreamError::Kind::Transport) return outcome;
    if (once && sent) {
      disconnect();
      return Err{UpstreamError::interrupted(std::move(outcome).error().message)};
    }
    if (attempt > 0) return outcome;
  }
}

AnswerResult Upstream::call(const std::string& method, const Json& params, Resend resend) {
  deadline_ = last_deadline_ = clock_.now() + limits::kCallDeadline;
  AnswerResult outcome = Err{UpstreamError::too_large()};
  try {
    outcome = call_inner(method, params, resend);
  } catch (const std::bad_alloc&) {
    // A reply too large to hold: the exchange is abandoned with the
    // connection.
    disconnect();
  }
  deadline_.reset();
  if (!outcome && outcome.error().kind == UpstreamError::Kind::DeadlineExceeded) {
    // Whatever was half done on the socket is abandoned with it.
    disconnect();
  }
  return outcome;
}
