// The link to the Trelvo core: one Unix-domain socket, newline-delimited JSON,
// a hello on every new connection, one request outstanding at a time.
//
// Everything runs on the caller's thread. The socket is non-blocking and every
// wait is one on the link's clock (a poll() on the real one), bounded by its
// own limit and by the call's deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "json.h"
#include "json_tape.h"
#include "link_clock.h"
#include "reply_reader.h"
#include "result.h"
#include "server_limits.h"

struct UpstreamError {
  // Interrupted: the link failed after a request that must not run twice
  // was written, so it is not resent and may or may not have run.
  enum class Kind {
    NotRunning,
    ProtocolMismatch,
    CoreError,
    Transport,
    DeadlineExceeded,
    Interrupted
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
};

// The "result" of a successful core call: a node of the tape the link read
// the reply into, valid until the link's next call.
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

// What the tools need of the core: one method call. Upstream is the real one;
// tests substitute an in-process double.
class CoreLink {
 public:
  virtual ~CoreLink() = default;
  // A null `params` sends a request without a "params" member.
  virtual AnswerResult call(const std::string& method, const Json& params) = 0;
  // True when the last call's deadline has passed, so that a result shaped
  // too late is not sent as if it were on time.
  virtual bool past_deadline() const { return false; }
};

class Upstream : public CoreLink {
 public:
  // Every time limit is kept on `clock`.
  explicit Upstream(std::string path, LinkClock& clock = LinkClock::real());
  ~Upstream() override;
  Upstream(const Upstream&) = delete;
  Upstream& operator=(const Upstream&) = delete;

  // Opens a fresh connection (replacing any present one) and says hello.
  Result<Done, UpstreamError> connect();
  // One core call within limits::kCallDeadline: connect if needed, the
  // exchange, and one reconnect-and-retry after a transport failure (a
  // request that runs code in a page is resent only when it never left).
  // Overrunning the deadline leaves no connection.
  AnswerResult call(const std::string& method, const Json& params) override;
  bool past_deadline() const override { return last_deadline_ && clock_.now() > *last_deadline_; }

  // Gives back buffers grown past `limit` bytes; true when any was.
  bool release_buffers_over(std::size_t limit) { return reader_.release_if_over(limit); }

  bool connected() const { return fd_ >= 0; }
  std::uint64_t next_id() const { return next_id_; }

 private:
  using Clock = LinkClock;

  AnswerResult call_inner(const std::string& method, const Json& params);
  // Exactly one exchange on the current connection, no retry. `sent` tells
  // whether any byte of the request reached the socket.
  AnswerResult exchange(const std::string& method, const Json& params, bool* sent = nullptr);
  void disconnect();
  // True when the kept connection is known to be closed by the core.
  bool peer_gone() const;
  Result<Done, UpstreamError> write_all(std::string_view bytes, Clock::time_point limit,
                                        bool* sent);
  Result<Done, UpstreamError> receive(Clock::time_point limit);
  Clock::time_point bounded(std::chrono::milliseconds limit) const;
  UpstreamError timed_out(Clock::time_point end, const char* what) const;

  std::string path_;
  LinkClock& clock_;
  int fd_ = -1;
  ReplyReader reader_;                              // bytes received and the reply picked out
  std::string request_;                             // the request line, reused
  std::uint64_t next_id_ = 1;                       // never reset, not even on reconnect
  std::optional<Clock::time_point> deadline_;       // of the call in progress, if any
  std::optional<Clock::time_point> last_deadline_;  // of the last call
};
