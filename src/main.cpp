// trelvo-mcp: serves MCP on standard input and output, one JSON-RPC message
// per line, and asks the Trelvo core for everything it reports.
//
// One thread does everything, strictly one request at a time: read a line,
// answer it, write the answer, read the next. Nothing else ever writes to
// standard output, and nothing writes to standard error once running.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>

#include "buffer.h"
#include "command_line.h"
#include "default_socket.h"
#include "json.h"
#include "mcp.h"
#include "platform.h"
#include "server_limits.h"
#include "tools/dispatch.h"
#include "upstream.h"

namespace {

// Splits standard input into lines. A carriage return before the line feed
// goes with it; a last line without a line feed still counts.
class LineReader {
 public:
  // `when_idle` runs once whenever input keeps the reader waiting for
  // limits::kIdle.
  LineReader(int fd, std::function<void()> when_idle) : fd_(fd), when_idle_(std::move(when_idle)) {}

  struct Line {
    std::string_view text;
    // The line was too long to hold in memory and is gone; `text` is empty.
    bool lost = false;
  };

  // The next line, valid until the next call; nullopt at end of input or on a
  // read error.
  std::optional<Line> next() {
    for (;;) {
      if (auto line = input_.next()) {
        std::string_view text(line->data(), line->size());
        if (text.ends_with('\n')) {
          text.remove_suffix(1);
          if (text.ends_with('\r')) text.remove_suffix(1);
        }
        return Line{text};
      }
      if (input_.ended()) return std::nullopt;
      if (quiet_for(limits::kIdle)) when_idle_();
      std::size_t room;
      char* at;
      try {
        at = input_.space(limits::kInputRead, room);
      } catch (const std::bad_alloc&) {
        return skip_line();
      }
      ssize_t n = ::read(fd_, at, room);
      if (n > 0) {
        input_.received(static_cast<std::size_t>(n));
      } else if (n == 0) {
        input_.closed();
      } else if (errno != EINTR) {
        return std::nullopt;
      }
    }
  }

  bool release_if_over(std::size_t limit) { return input_.release_if_over(limit); }

 private:
  // Drops the line that outgrew memory, reading on to its end; what follows
  // it stays for the next line.
  std::optional<Line> skip_line() {
    input_.reset();
    input_.release_if_over(0);
    char chunk[4096];
    for (;;) {
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n == 0) input_.closed();
      if (n == 0 || (n < 0 && errno != EINTR)) return Line{{}, true};
      if (n < 0) continue;
      auto* nl = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<std::size_t>(n)));
      if (nl == nullptr) continue;
      if (auto rest = static_cast<std::size_t>(chunk + n - (nl + 1))) {
        std::size_t room;
        std::memcpy(input_.space(rest, room), nl + 1, rest);
        input_.received(rest);
      }
      return Line{{}, true};
    }
  }

  // False when input is ready within `wait` (or polling fails: the read
  // that follows tells).
  bool quiet_for(std::chrono::milliseconds wait) const {
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
      rc = ::poll(&p, 1, static_cast<int>(wait.count()));
    } while (rc < 0 && errno == EINTR);
    return rc == 0;
  }

  int fd_;
  std::function<void()> when_idle_;
  LineBuffer input_;
};

// Unicode White_Space, the set the blank-line test trims.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// `line` must be valid UTF-8.
bool is_blank(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size()) {
    auto lead = static_cast<unsigned char>(line[i]);
    std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = len == 1 ? lead : lead & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (line[i + k] & 0x3F);
    if (!is_white_space(c)) return false;
    i += len;
  }
  return true;
}

// False when the output is gone; the session ends then.
bool write_all(int fd, std::string_view rest) {
  while (!rest.empty()) {
    ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n > 0) {
      rest.remove_prefix(static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Appends the response to `line` to `out`; nothing for a notification.
void respond(Buffer& out, Upstream& upstream, std::string_view line) {
  auto classified = mcp::classify(line);
  if (auto* reply = std::get_if<mcp::Reply>(&classified)) {
    out.append(std::string_view(reply->text));
  } else if (auto* request = std::get_if<mcp::ToolRequest>(&classified)) {
    tools::dispatch_into(out, upstream, request->method, std::move(request->id),
                         std::move(request->params));
  }
}

// Buffers grown past `limit` go back to the system: after each request the
// memory of an outsized one (limits::kKeptBuffer), and once the session has
// been idle for a moment all but the ordinary sizes (limits::kIdleKeptBuffer).
void release_buffers(LineReader& input, Buffer& out, Upstream& upstream, std::size_t limit) {
  bool released = input.release_if_over(limit);
  out.clear();
  released = out.release_if_over(limit) || released;
  released = upstream.release_buffers_over(limit) || released;
  if (released) platform::return_free_memory();
}

// A pipe holds 64 KiB by default, so a large response would be written in
// many rounds, each waiting for the reader. Where the system lets us, make
// room for a megabyte, once, when the first large response comes.
void widen_output_pipe(std::size_t response_size) {
  static bool tried = false;
  if (tried || response_size <= 65536) return;
  tried = true;
  platform::widen_pipe(STDOUT_FILENO, 1 << 20);
}

void serve(Upstream& upstream) {
  Buffer out;  // one response line, reused
  // Warm buffers make back-to-back calls fast; a session that has gone quiet
  // gives them back.
  LineReader input(STDIN_FILENO,
                   [&] { release_buffers(input, out, upstream, limits::kIdleKeptBuffer); });
  while (auto line = input.next()) {
    out.clear();
    bool lost = line->lost;
    if (!lost) {
      if (!json::is_utf8(line->text)) return;
      if (is_blank(line->text)) continue;
      try {
        respond(out, upstream, line->text);
        if (!out.empty()) out.append('\n');
      } catch (const std::bad_alloc&) {
        lost = true;
      }
    }
    if (lost) {
      // Too large to read or take apart in memory: answered, and dropped.
      out.clear();
      out.append(std::string_view(mcp::lost_line_response()));
      out.append('\n');
    }
    if (!out.empty()) {
      widen_output_pipe(out.size());
      if (!write_all(STDOUT_FILENO, out.view())) return;
    }
    release_buffers(input, out, upstream, limits::kKeptBuffer);
  }
}

[[noreturn]] void fail_to_start(int err) {
  std::fprintf(stderr, "Failed building the Runtime: %s\n", std::strerror(err));
  std::_Exit(101);
}

// A closed standard stream would let the next file we open take its number,
// and a response could end up on the core socket. Park it on /dev/null.
void reopen_closed_std_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", O_RDWR);
    if (opened < 0) fail_to_start(errno);
    if (opened != fd) {
      if (::dup2(opened, fd) < 0) fail_to_start(errno);
      ::close(opened);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // So that the memory of an outsized call can be returned to the system.
  platform::tune_allocator();
  reopen_closed_std_streams();
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) fail_to_start(errno);
  const command_line::Reading args = command_line::read(argc, argv);
  if (args.asked != command_line::Reading::Asked::Serve) {
    write_all(STDOUT_FILENO, args.asked == command_line::Reading::Asked::Help
                                 ? command_line::help()
                                 : command_line::version());
    return 0;
  }
  // A host never starts us on a terminal; a person who does is told why
  // nothing happens.
  if (::isatty(STDIN_FILENO)) write_all(STDERR_FILENO, command_line::terminal_notice(args.ignored));

  Upstream upstream(socket_path());
  // A core that is not running yet is not an error; tool calls connect later.
  (void)upstream.connect();
  serve(upstream);
  return 0;
}
