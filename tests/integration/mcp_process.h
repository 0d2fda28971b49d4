// Runs a program of this project as a child process with pipes on its
// standard streams, for tests that drive it from outside.
//
// The child gets exactly the environment given (nothing is inherited), so a
// test decides what TRELVO_MCP_SOCKET and HOME hold. Standard error is
// collected in the background of every wait, so the child never blocks on it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class McpProcess {
 public:
  struct Options {
    std::string program =
#ifdef TRELVO_MCP_BIN
        TRELVO_MCP_BIN;
#else
        "";
#endif
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
    // Start the child with that descriptor not open at all.
    bool stdin_closed = false;
    bool stdout_closed = false;
  };

  struct ExitStatus {
    bool exited = false;  // false: still running when the wait gave up
    int code = -1;        // exit status, when it exited normally
    int signal = 0;       // the signal that ended it, if one did
  };

  static constexpr std::chrono::milliseconds kPatience{5000};

  explicit McpProcess(Options options);
  // Kills the child if it still runs and reaps it.
  ~McpProcess();
  McpProcess(const McpProcess&) = delete;
  McpProcess& operator=(const McpProcess&) = delete;

  bool started() const {
    return pid_ > 0;
  }
  pid_t pid() const {
    return pid_;
  }

  // Writes raw bytes to the child's standard input; false when it cannot.
  bool send(std::string_view bytes);
  // `line` followed by "\n".
  bool send_line(std::string_view line);
  // The child then sees end of input.
  void close_stdin();
  // Closes our reading end of the child's standard output.
  void close_stdout_reader();

  // The next line of standard output without its "\n"; nullopt on timeout or
  // at end of output (stdout_ended() tells which).
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = kPatience);
  // Everything the child writes to standard output until it closes it.
  std::string read_rest(std::chrono::milliseconds timeout = kPatience);
  bool stdout_ended() const {
    return out_eof_;
  }

  // Waits for the child to end.
  ExitStatus wait_exit(std::chrono::milliseconds timeout = kPatience);
  // What the child wrote to standard error; after wait_exit, all of it.
  std::string stderr_text();

 private:
  // Moves whatever is ready on stdout and stderr into the buffers, waiting at
  // most `timeout` for something to arrive.
  void pump(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_buffer_;
  std::string err_buffer_;
  bool out_eof_ = false;
  bool err_eof_ = false;
  std::optional<ExitStatus> status_;
};
