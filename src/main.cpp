// trelvo-mcp: serves MCP on standard input and output, one JSON-RPC message
// per line, and asks the Trelvo core for everything it reports.
//
// One thread does everything, strictly one request at a time: read a line,
// answer it, write the answer, read the next. Nothing else ever writes to
// standard output, and nothing writes to standard error once running.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "json.h"
#include "mcp.h"
#include "tools/dispatch.h"
#include "upstream.h"

namespace {

constexpr std::size_t kInputBuffer = 8192;

// Splits standard input into lines. A carriage return before the line feed
// goes with it; a last line without a line feed still counts.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  // The next line, or nullopt at end of input or on a read error.
  std::optional<std::string> next() {
    std::size_t scanned = 0;
    for (;;) {
      std::size_t newline = pending_.find('\n', scanned);
      if (newline != std::string::npos) {
        std::size_t length = newline;
        if (length > 0 && pending_[length - 1] == '\r') --length;
        std::string line = pending_.substr(0, length);
        pending_.erase(0, newline + 1);
        return line;
      }
      scanned = pending_.size();
      if (eof_) break;
      char chunk[kInputBuffer];
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n > 0) {
        pending_.append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0) {
        eof_ = true;
      } else if (errno != EINTR) {
        return std::nullopt;
      }
    }
    if (pending_.empty()) return std::nullopt;
    std::string last = std::move(pending_);
    pending_.clear();
    return last;
  }

 private:
  int fd_;
  std::string pending_;
  bool eof_ = false;
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
bool write_line(int fd, std::string text) {
  text += '\n';
  std::string_view rest = text;
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

std::optional<std::string> respond(Upstream& upstream, std::string_view line) {
  auto classified = mcp::classify(line);
  if (auto* reply = std::get_if<mcp::Reply>(&classified)) return std::move(reply->text);
  if (auto* request = std::get_if<mcp::ToolRequest>(&classified)) {
    return tools::dispatch(upstream, request->method, std::move(request->id),
                           std::move(request->params));
  }
  return std::nullopt;
}

void serve(Upstream& upstream) {
  LineReader input(STDIN_FILENO);
  while (auto line = input.next()) {
    if (!json::is_utf8(*line)) return;
    if (is_blank(*line)) continue;
    auto response = respond(upstream, *line);
    if (response && !write_line(STDOUT_FILENO, std::move(*response))) return;
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

int main() {
  reopen_closed_std_streams();
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) fail_to_start(errno);

  Upstream upstream(socket_path());
  // A core that is not running yet is not an error; tool calls connect later.
  (void)upstream.ensure_connected();
  serve(upstream);
  return 0;
}
