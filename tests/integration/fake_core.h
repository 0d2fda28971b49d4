// A scripted stand-in for the Trelvo core, for tests of the core link.
//
// It listens on a Unix-domain socket in a fresh directory under /tmp (short
// enough for sockaddr_un) and serves accepted connections one after another on
// its own thread. Each connection runs the next script of the test; once the
// scripts are used up, further connections get `rest` (by default: closed at
// once). Every line the client sends is recorded, in order, per connection.
//
// Waits inside scripts are bounded and end early when the core is stopped, so
// the destructor never hangs: it stops the thread, joins it and removes the
// socket and its directory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "json.h"

class FakeCore {
 public:
  // A request line as the core read it.
  struct Request {
    std::string line;    // without its "\n"
    Json message;        // null when the line does not parse
    std::uint64_t id;    // 0 when the line has no unsigned "id"
    std::string method;  // empty when there is none
  };

  // One accepted connection, as a script sees it.
  class Conn {
   public:
    // The next line from the client without its "\n"; nullopt when the client
    // closed the connection, the core is stopping, or `timeout` passed.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = kPatience);
    // The next line, parsed.
    std::optional<Request> next_request(std::chrono::milliseconds timeout = kPatience);
    // Writes `bytes` completely; false when the client is gone or the core stops.
    bool send(std::string_view bytes);
    bool send_line(std::string_view line);
    // {"id":<id>,"result":<result>}
    bool reply(std::uint64_t id, const Json& result);
    // {"error":{"code":<code>,"message":<message>},"id":<id>}
    bool reply_error(std::uint64_t id, std::string_view code, std::string_view message);
    // Reads the hello and answers it with `result` (by default the accepting
    // one). False when no hello came.
    bool accept_hello(const Json& result = standard_hello_result());
    // Reads (and records) until the client closes, the core stops or `timeout`
    // passes. True when the client closed.
    bool wait_closed(std::chrono::milliseconds timeout = kPatience);
    // Closes the connection now (the core keeps listening).
    void close();
    bool client_closed() const { return eof_; }

   private:
    friend class FakeCore;
    Conn(FakeCore& core, int fd, std::size_t index) : core_(core), fd_(fd), index_(index) {}

    FakeCore& core_;
    int fd_;
    std::size_t index_;
    std::string buffer_;
    bool eof_ = false;
  };

  using Script = std::function<void(Conn&)>;

  static constexpr std::chrono::milliseconds kPatience{5000};

  // {"acceptedClientKind":"mcp","protocolVersion":1}
  static Json standard_hello_result();
  // Accepts the hello, then answers every request with `result` until the
  // client closes or the core stops, however long that takes.
  static Script answering(Json result);
  // Accepts the hello, then runs `rest`.
  static Script after_hello(Script rest);
  // Closes the connection without reading anything.
  static Script closing();

  explicit FakeCore(std::vector<Script> scripts, Script rest = closing());
  ~FakeCore();
  FakeCore(const FakeCore&) = delete;
  FakeCore& operator=(const FakeCore&) = delete;

  const std::string& path() const { return path_; }
  bool listening() const { return listen_fd_ >= 0; }

  // Every line received, over all connections, in order.
  std::vector<std::string> lines() const;
  std::vector<std::vector<std::string>> lines_by_connection() const;
  std::size_t connections() const;
  // Waits until `count` lines have been received in all; false on timeout.
  bool wait_for_lines(std::size_t count, std::chrono::milliseconds timeout = kPatience) const;
  // Waits until the scripts of `count` connections have finished.
  bool wait_for_finished(std::size_t count, std::chrono::milliseconds timeout = kPatience) const;

  // Ends all waits, joins the thread and closes every descriptor. Idempotent.
  void stop();

 private:
  void serve();
  bool stopping() const;
  void record(std::size_t connection, std::string line);
  // poll() on `fd` and the stop pipe; true when `fd` is ready.
  bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point until) const;

  std::vector<Script> scripts_;
  Script rest_;
  std::string dir_;
  std::string path_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::thread thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::vector<std::string>> lines_;
  std::size_t total_lines_ = 0;
  std::size_t finished_ = 0;
};
