// Runs trelvo-mcp as a child process with pipes on standard input and output,
// for tests that drive it from outside. Its environment holds only
// TRELVO_MCP_SOCKET, a HOME that does not exist and the test's sanitizer
// options; its standard error goes to an unlinked file, which wait_exit()
// reports, so a sanitizer report or leak in the child fails the test.
#pragma once

// Whether this build runs under AddressSanitizer, whose quarantine keeps freed
// memory and whose checks slow every program down.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How McpProcess starts the child.
struct McpStart {
  // The child starts with that descriptor not open at all.
  bool stdin_closed = false;
  bool stdout_closed = false;
  // Standard input a terminal, as when a person runs the program; send()
  // types on it.
  bool stdin_terminal = false;
  std::string program = {};  // the build's trelvo-mcp when empty
  std::vector<std::string> args = {};
};

class McpProcess {
 public:
  static constexpr std::chrono::milliseconds kPatience{5000};

  using Start = McpStart;
  explicit McpProcess(const std::string& socket, Start start = {});
  // Kills the child if it still runs and reaps it.
  ~McpProcess();
  McpProcess(const McpProcess&) = delete;
  McpProcess& operator=(const McpProcess&) = delete;

  // Writes to the child's standard input; false when it cannot.
  bool send(std::string_view bytes);
  bool send_line(std::string_view line) { return send(std::string(line) + "\n"); }
  void close_stdin();
  // Closes our reading end of the child's standard output.
  void close_stdout_reader();
  // The next line of standard output without its "\n"; nullopt on timeout or
  // at the end of the output.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = kPatience);
  // Everything the child writes to standard output until it closes it.
  std::string read_rest();
  // Waits for the child to end: "exit <status>" or "signal <number>", then
  // "; stderr: <text>" when standard error is not empty.
  std::string wait_exit();
  // Ends the input; what the child still writes, then wait_exit(). A clean end
  // is "exit 0".
  pid_t pid() const { return pid_; }
  std::string finish() {
    close_stdin();
    std::string rest = read_rest();
    return rest + wait_exit();
  }

 private:
  // Reads what arrives on standard output by `until`; false at its end or on
  // timeout.
  bool fill(std::chrono::steady_clock::time_point until);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_buffer_;
};

// Messages the tests exchange with the child.
inline std::string ping(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})";
}
inline std::string pong(int id) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})";
}
inline std::string status_call(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"get_capture_status","arguments":{}}})";
}
// The answer to a tool call whose result is one text, `escaped_text` in JSON.
inline std::string tool_result(int id, std::string_view escaped_text, bool is_error) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":")" +
         std::string(escaped_text) + R"(","type":"text"}],"isError":)" +
         (is_error ? "true" : "false") + "}}";
}
inline const std::string kNotRunningText =
    "Trelvo is not running. Launch Trelvo to start capturing.";
