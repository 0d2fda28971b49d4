#include "mcp_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A pipe whose ends are not inherited: the child gets only what is dup2'ed.
bool make_pipe(int fds[2]) {
#ifdef __linux__
  return ::pipe2(fds, O_CLOEXEC) == 0;
#else
  if (::pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i) ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::chrono::milliseconds left(Clock::time_point until) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  return std::max(ms, std::chrono::milliseconds(0));
}

}  // namespace

McpProcess::McpProcess(Options options) {
  // Writing to a child that has already gone must fail, not end the tests.
  std::signal(SIGPIPE, SIG_IGN);

  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (!make_pipe(in) || !make_pipe(out) || !make_pipe(err)) {
    for (int* fds : {in, out, err}) {
      close_fd(fds[0]);
      close_fd(fds[1]);
    }
    return;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdin_closed) {
    posix_spawn_file_actions_addclose(&actions, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  }
  if (options.stdout_closed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  std::vector<std::string> env_text;
  for (const auto& [name, value] : options.env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_text{options.program};
  arg_text.insert(arg_text.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& arg : arg_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawn(&pid, options.program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close_fd(in[0]);
  close_fd(out[1]);
  close_fd(err[1]);
  if (rc != 0) {
    close_fd(in[1]);
    close_fd(out[0]);
    close_fd(err[0]);
    return;
  }
  pid_ = pid;
  in_ = in[1];
  err_ = err[0];
  if (options.stdout_closed) {
    close_fd(out[0]);
    out_eof_ = true;
  } else {
    out_ = out[0];
  }
}

McpProcess::~McpProcess() {
  close_fd(in_);
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  close_fd(out_);
  close_fd(err_);
}

bool McpProcess::send(std::string_view bytes) {
  while (!bytes.empty()) {
    if (in_ < 0) return false;
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

bool McpProcess::send_line(std::string_view line) {
  std::string text(line);
  text += '\n';
  return send(text);
}

void McpProcess::close_stdin() {
  close_fd(in_);
}

void McpProcess::close_stdout_reader() {
  close_fd(out_);
  out_eof_ = true;
}

void McpProcess::pump(std::chrono::milliseconds timeout) {
  pollfd fds[2];
  std::string* buffers[2];
  bool* eofs[2];
  int count = 0;
  if (out_ >= 0 && !out_eof_) {
    fds[count] = {out_, POLLIN, 0};
    buffers[count] = &out_buffer_;
    eofs[count++] = &out_eof_;
  }
  if (err_ >= 0 && !err_eof_) {
    fds[count] = {err_, POLLIN, 0};
    buffers[count] = &err_buffer_;
    eofs[count++] = &err_eof_;
  }
  if (count == 0) {
    std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(5)));
    return;
  }
  int ready = ::poll(fds, count, static_cast<int>(timeout.count()));
  if (ready <= 0) return;
  for (int i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    char chunk[65536];
    ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
    if (n > 0) {
      buffers[i]->append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      *eofs[i] = true;
    }
  }
}

std::optional<std::string> McpProcess::read_line(std::chrono::milliseconds timeout) {
  auto until = Clock::now() + timeout;
  for (;;) {
    auto newline = out_buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = out_buffer_.substr(0, newline);
      out_buffer_.erase(0, newline + 1);
      return line;
    }
    if (out_eof_ || Clock::now() >= until) return std::nullopt;
    pump(left(until));
  }
}

std::string McpProcess::read_rest(std::chrono::milliseconds timeout) {
  auto until = Clock::now() + timeout;
  while (!out_eof_ && Clock::now() < until) pump(left(until));
  return std::exchange(out_buffer_, {});
}

McpProcess::ExitStatus McpProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  if (pid_ <= 0) return {};
  auto until = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      ExitStatus result{true, -1, 0};
      if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
      status_ = result;
      break;
    }
    if (done < 0 && errno != EINTR) return {};
    if (Clock::now() >= until) return {};
    pump(std::min(left(until), std::chrono::milliseconds(20)));
  }
  // The child is gone; whatever it wrote to standard error is in the pipe.
  auto drain_until = Clock::now() + std::chrono::milliseconds(1000);
  while (!err_eof_ && err_ >= 0 && Clock::now() < drain_until) pump(left(drain_until));
  return *status_;
}

std::string McpProcess::stderr_text() {
  pump(std::chrono::milliseconds(0));
  return err_buffer_;
}
