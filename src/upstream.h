// The upstream: the one connection to the Trelvo core, a Unix-domain socket
// carrying newline-delimited JSON, a hello on every new connection, one
// request outstanding at a time.
//
// Everything runs on the caller's thread. The socket is non-blocking and every
// wait is one on the upstream's clock (a poll() on the real one), bounded by
// its own limit and by the call's deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "json.h"
#include "json_tape.h"
#include "reply_reader.h"
#include "result.h"
#include "server_limits.h"
#include "upstream_clock.h"

struct UpstreamError {
  // Interrupted: the connection failed after a request that must not run
  // twice was written, so it is not resent and may or may not have run.
  // TooLarge: the reply, or the answer made from it, does not fit in memory.
  enum class Kind {
    NotRunning,
    ProtocolMismatch,
    CoreError,
    Transport,
    DeadlineExceeded,
    Interrupted,
    TooLarge
  };
  Kind kind;
  std::string code;     // CoreError only
  std::string message;  // CoreError and Transport

  static UpstreamError not_running() { return {Kind::NotRunning, {}, {}}; }
  static UpstreamError protocol_mismatch() { return {Kind::ProtocolMismatch, {}, {}}; }
  static UpstreamError core_error(std::string code, std::string message) {
    return {Kind::CoreError, std::move(code), std::move(message)};
  }
  static UpstreamError transport(std::string message) {
    return {Kind::Transport, {}, std::move(message)};
  }
  static UpstreamError deadline_exceeded() { return {Kind::DeadlineExceeded, {}, {}}; }
  static UpstreamError interrupted(std::string message) {
    return {Kind::Interrupted, {}, std::move(message)};
  }
  static UpstreamError too_large() { return {Kind::TooLarge, {}, {}}; }
};

// Whether a request may be sent again after the connection failed with it
// written, perhaps to the core: Never for a request whose running twice would
// matter.
enum class Resend { Safe, Never };

// The "result" of a successful core call: a node of the tape the upstream
// read the reply into, valid until its next call.
class Answer {
 public:
  Answer(json::Tape& tape, std::uint32_t node) : tape_(&tape), node_(node) {}

  json::Tape& tape() const { return *tape_; }
  // The tape node, or Tape::kNone for a reply without "result" (null).
  std::uint32_t node() const { return node_; }

 private:
  json::Tape* tape_;
  std::uint32_t node_;
};
using AnswerResult = Result<Answer, UpstreamError>;

class Upstream {
 public:
  // Every time limit is kept on `clock`.
  explicit Upstream(std::string path, UpstreamClock& clock = UpstreamClock::real());
  virtual ~Upstream();
  Upstream(const Upstream&) = delete;
  Upstream& operator=(const Upstream&) = delete;

  // Opens a fresh connection (replacing any present one) and says hello.
  Result<Done, UpstreamError> connect();
  // One core call within limits::kCallDeadline: connect if needed, the
  // exchange, and one reconnect-and-retry after a transport failure (with
  // Resend::Never, only when the request never left). A null `params` sends
  // a request without a "params" member. Overrunning the deadline leaves no
  // connection. Tests of the tools put a scripted core in its place.
  virtual AnswerResult call(const std::string& method, const Json& params,
                            Resend resend = Resend::Safe);
  // True when the last call's deadline has passed, so that a result shaped
  // too late is not sent as if it were on time.
  virtual bool past_deadline() const { return last_deadline_ && clock_.now() > *last_deadline_; }

  // Gives back buffers grown past `limit` bytes; true when any was.
  bool release_buffers_over(std::size_t limit) { return reader_.release_if_over(limit); }

  bool connected() const { return fd_ >= 0; }

 private:
  using Clock = UpstreamClock;

  // A connected socket, retrying while the core's queue of connections is full.
  Result<int, UpstreamError> open_socket();
  Result<Done, UpstreamError> hello();
  AnswerResult call_inner(const std::string& method, const Json& params, Resend resend);
  // Exactly one exchange on the current connection, no retry. `sent` tells
  // whether any byte of the request reached the socket.
  AnswerResult exchange(const std::string& method, const Json& params, bool* sent = nullptr);
  void disconnect();
  // True when the kept connection is known to be closed by the core.
  bool peer_gone();
  Result<Done, UpstreamError> write_all(std::string_view bytes, Clock::time_point limit,
                                        bool* sent);
  Result<Done, UpstreamError> receive(Clock::time_point limit);
  Clock::time_point bounded(std::chrono::milliseconds limit) const;
  UpstreamError timed_out(Clock::time_point end, const char* what) const;

  std::string path_;
  UpstreamClock& clock_;
  int fd_ = -1;
  ReplyReader reader_;                              // bytes received and the reply picked out
  std::string request_;                             // the request line, reused
  std::uint64_t next_id_ = 1;                       // never reset, not even on reconnect
  std::optional<Clock::time_point> deadline_;       // of the call in progress, if any
  std::optional<Clock::time_point> last_deadline_;  // of the last call
};
