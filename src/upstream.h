// The link to the Trelvo core: one Unix-domain socket, newline-delimited JSON,
// a hello on every new connection, one request outstanding at a time.
//
// Everything runs on the caller's thread. The socket is non-blocking and every
// wait is a poll() bounded by its own limit and by the call's deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "json.h"
#include "result.h"

namespace limits {
using namespace std::chrono_literals;
inline constexpr std::chrono::milliseconds kConnect = 10s;
inline constexpr std::chrono::milliseconds kWrite = 10s;
inline constexpr std::chrono::milliseconds kLineRead = 10s;
inline constexpr std::chrono::milliseconds kCallDeadline = 15s;
inline constexpr int kLineBudget = 64;  // reply lines read while looking for our id
inline constexpr std::size_t kReadBuffer = 8192;
}  // namespace limits

struct UpstreamError {
  enum class Kind { NotRunning, ProtocolMismatch, CoreError, Transport, DeadlineExceeded };
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
};

using CallResult = Result<Json, UpstreamError>;

// What the tools need of the core: one method call. Upstream is the real one;
// tests substitute an in-process double.
class CoreLink {
 public:
  virtual ~CoreLink() = default;
  // A null `params` sends a request without a "params" member.
  virtual CallResult call(const std::string& method, const Json& params) = 0;
};

// TRELVO_MCP_SOCKET when set (and valid UTF-8), else
// $HOME/Library/Application Support/Trelvo/run/core.sock.
std::string socket_path();

class Upstream : public CoreLink {
 public:
  explicit Upstream(std::string path);
  ~Upstream() override;
  Upstream(const Upstream&) = delete;
  Upstream& operator=(const Upstream&) = delete;

  // Opens a fresh connection (replacing any present one) and says hello.
  Result<Done, UpstreamError> connect();
  // Connects only when there is no connection; no I/O otherwise.
  Result<Done, UpstreamError> ensure_connected();
  // Exactly one exchange on the current connection, no retry.
  CallResult raw_call(const std::string& method, const Json& params);
  // Connection check, first attempt, one reconnect-and-retry on Transport.
  CallResult call_inner(const std::string& method, const Json& params);
  // call_inner under an overall deadline; overrunning it leaves no connection.
  CallResult call_with_deadline(const std::string& method, const Json& params,
                                std::chrono::milliseconds deadline);
  // call_with_deadline with the 15 s call deadline.
  CallResult call(const std::string& method, const Json& params) override;

  bool connected() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  std::uint64_t next_id() const { return next_id_; }

 private:
  using Clock = std::chrono::steady_clock;

  void disconnect();
  Result<Done, UpstreamError> write_all(std::string_view bytes, Clock::time_point limit);
  Result<std::string, UpstreamError> read_line();
  Clock::time_point bounded(std::chrono::milliseconds limit) const;
  UpstreamError timed_out(Clock::time_point end, const char* what) const;

  std::string path_;
  int fd_ = -1;
  std::string buffer_;                         // bytes received but not yet consumed
  std::uint64_t next_id_ = 1;                  // never reset, not even on reconnect
  std::optional<Clock::time_point> deadline_;  // of the call in progress, if any
};
