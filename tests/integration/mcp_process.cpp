#include "mcp_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A pseudo-terminal: the writing end in `in[1]`, the terminal in `in[0]`.
bool open_terminal(int in[2]) {
  in[1] = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (in[1] < 0 || ::grantpt(in[1]) != 0 || ::unlockpt(in[1]) != 0) return false;
  const char* name = ::ptsname(in[1]);
  in[0] = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
  return in[0] >= 0;
}

}  // namespace

McpProcess::McpProcess(const std::string& socket, Start start) {
  // Writing to a child that has already gone must fail, not end the tests.
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  char err_path[] = "/tmp/tmcperrXXXXXX";
  if (!(start.stdin_terminal ? open_terminal(in) : ::pipe(in) == 0) || ::pipe(out) != 0 ||
      (err_ = ::mkstemp(err_path)) < 0) {
    return;
  }
  ::unlink(err_path);
  for (int fd : {in[0], in[1], out[0], out[1], err_}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_, 2);
  if (start.stdin_closed) posix_spawn_file_actions_addclose(&actions, 0);
  if (start.stdout_closed) posix_spawn_file_actions_addclose(&actions, 1);
  std::string program = start.program.empty() ? TRELVO_MCP_BIN : start.program;
  std::vector<std::string> env = {"TRELVO_MCP_SOCKET=" + socket, "HOME=/nonexistent"};
  // A sanitizer build's child reports leaks and faults under the same options as the test.
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> argv = {program.data()};
  for (std::string& arg : start.args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  in_ = in[1];
  out_ = out[0];
  if (start.stdout_closed) close_fd(out_);
}

McpProcess::~McpProcess() {
  close_fd(in_);
  close_fd(out_);
  close_fd(err_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool McpProcess::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = in_ < 0 ? -1 : ::write(in_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR || in_ < 0) {
      return false;
    }
  }
  return true;
}

void McpProcess::close_stdin() {
  close_fd(in_);
}

void McpProcess::close_stdout_reader() {
  close_fd(out_);
}

bool McpProcess::fill(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  pollfd ready{out_, POLLIN, 0};
  if (out_ < 0 || ::poll(&ready, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) {
    return false;
  }
  char chunk[65536];
  ssize_t n = ::read(out_, chunk, sizeof chunk);
  if (n > 0) out_buffer_.append(chunk, static_cast<std::size_t>(n));
  if (n == 0 || (n < 0 && errno != EINTR)) close_fd(out_);
  return out_ >= 0;
}

std::optional<std::string> McpProcess::read_line(std::chrono::milliseconds timeout) {
  auto until = Clock::now() + timeout;
  std::size_t newline;
  while ((newline = out_buffer_.find('\n')) == std::string::npos) {
    if (!fill(until)) return std::nullopt;
  }
  std::string line = out_buffer_.substr(0, newline);
  out_buffer_.erase(0, newline + 1);
  return line;
}

std::string McpProcess::read_rest() {
  while (fill(Clock::now() + kPatience)) {
  }
  return std::exchange(out_buffer_, {});
}

std::string McpProcess::wait_exit() {
  auto until = Clock::now() + kPatience;
  int status = 0;
  pid_t done = 0;
  while (pid_ > 0 && (done = ::waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid_ <= 0 || done != pid_) return "not ended";
  pid_ = -1;
  std::string how = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                        : "exit " + std::to_string(WEXITSTATUS(status));
  std::string err;
  char chunk[4096];
  for (ssize_t n; (n = ::pread(err_, chunk, sizeof chunk, err.size())) > 0;) err.append(chunk, n);
  return err.empty() ? how : how + "; stderr: " + err;
}
