// A scripted stand-in for the Trelvo core, for tests of the upstream.
//
// It listens on a Unix-domain socket in a fresh directory under /tmp and serves
// accepted connections one after another on its own thread: the n-th runs the
// n-th script, later ones `rest` (by default: closed at once). Every line a
// client sends is recorded per connection. Waits end early when the core is
// destroyed, so the destructor never hangs.
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

// `pattern` with "{ID}" replaced by `id` and "{NEXT}" by `id` + 1.
std::string with_id(std::string_view pattern, std::uint64_t id);

// The hello request the upstream sends with `id`.
inline std::string hello(std::uint64_t id) {
  return R"({"id":)" + std::to_string(id) +
         R"(,"method":"hello","params":{"clientKind":"mcp","protocolVersion":1}})";
}

// Connects to the socket at `path` without blocking until its listener's
// queue is full and the system refuses one more: the connections, which
// nobody accepts, and in `refusal` the errno of that refusal.
std::vector<int> fill_listen_queue(const std::string& path, int* refusal = nullptr);

class FakeCore {
 public:
  static constexpr std::chrono::milliseconds kPatience{5000};

  // One accepted connection, as a script sees it.
  class Conn {
   public:
    // The next line without its "\n"; nullopt when the client closed, the core
    // stops or `timeout` passed.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = kPatience);
    // Reads a request; its "id" (0 when it has no unsigned one).
    std::optional<std::uint64_t> next_id(std::chrono::milliseconds timeout = kPatience);
    // Reads a request and sends with_id(pattern, its id) and "\n".
    bool answer(std::string_view pattern, std::chrono::milliseconds timeout = kPatience);
    // Writes all of `bytes`; false when the client is gone or the core stops.
    bool send(std::string_view bytes);
    // Reads until the client closes (true), the core stops or `timeout` passes.
    bool wait_closed(std::chrono::milliseconds timeout = kPatience);

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

  // Accepts the hello, then runs `rest` (if any).
  static Script after_hello(Script rest);
  // Accepts the hello, then answers every request with `result` (JSON text)
  // until the client closes.
  static Script answering(std::string result);

  explicit FakeCore(std::vector<Script> scripts, Script rest = nullptr);
  ~FakeCore();
  FakeCore(const FakeCore&) = delete;
  FakeCore& operator=(const FakeCore&) = delete;

  const std::string& path() const { return path_; }
  // Every line received, per connection, in order.
  std::vector<std::vector<std::string>> lines_by_connection() const;
  // Waits until `count` lines have been received in all; false on timeout.
  bool wait_for_lines(std::size_t count) const;
  // Waits until the scripts of `count` connections have finished.
  bool wait_for_finished(std::size_t count) const;

 private:
  void serve();
  bool stopping() const;
  // poll() on `fd` and the stop pipe; true when `fd` is ready.
  bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point until) const;

  std::vector<Script> scripts_;
  Script rest_;
  std::string dir_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::string path_;
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::vector<std::string>> lines_;
  std::size_t finished_ = 0;
};
