#include "session.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "json.h"
#include "mcp.h"
#include "platform.h"
#include "server_limits.h"
#include "tools/dispatch.h"

std::optional<Session::Line> Session::next_line() {
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
    // Warm buffers make back-to-back calls fast; a session that has gone
    // quiet gives them back.
    if (quiet_for(limits::kIdle)) release_buffers(limits::kIdleKeptBuffer);
    std::size_t room;
    char* at;
    try {
      at = input_.space(limits::kInputRead, room);
    } catch (const std::bad_alloc&) {
      return skip_line();
    }
    ssize_t n = ::read(in_fd_, at, room);
    if (n > 0) {
      input_.received(static_cast<std::size_t>(n));
    } else if (n == 0) {
      input_.closed();
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

// Drops the line that outgrew memory, reading on to its end; what follows it
// stays for the next line.
std::optional<Session::Line> Session::skip_line() {
  input_.reset();
  input_.release_if_over(0);
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(in_fd_, chunk, sizeof chunk);
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

// False when input is ready within `wait` (or polling fails: the read that
// follows tells). A Mac's poll() does not take a terminal, so there a
// person's input is never quiet and the session keeps its buffers.
bool Session::quiet_for(std::chrono::milliseconds wait) const {
  return !clock_.wait_until(in_fd_, POLLIN, clock_.now() + wait);
}

namespace {

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

}  // namespace

void Session::respond(std::string_view line) {
  auto classified = mcp::classify(line);
  if (auto* reply = std::get_if<mcp::Reply>(&classified)) {
    out_.append(std::string_view(reply->text));
  } else if (auto* request = std::get_if<mcp::ToolRequest>(&classified)) {
    tools::dispatch(out_, upstream_, request->method, std::move(request->id),
                    std::move(request->params));
  }
}

// Buffers grown past `limit` go back to the system: after each request the
// memory of an outsized one (limits::kKeptBuffer), and once the session has
// been idle for a moment all but the ordinary sizes (limits::kIdleKeptBuffer).
void Session::release_buffers(std::size_t limit) {
  bool released = input_.release_if_over(limit);
  out_.clear();
  released = out_.release_if_over(limit) || released;
  released = upstream_.release_buffers_over(limit) || released;
  if (released) platform::return_free_memory();
}

bool Session::serve_one() {
  for (;;) {
    auto line = next_line();
    if (!line) return false;
    out_.clear();
    bool lost = line->lost;
    if (!lost) {
      if (!json::is_utf8(line->text)) return false;
      if (is_blank(line->text)) continue;
      try {
        respond(line->text);
        if (!out_.empty()) out_.append('\n');
      } catch (const std::bad_alloc&) {
        lost = true;
      }
    }
    if (lost) {
      // Too large to read or take apart in memory: answered, and dropped.
      out_.clear();
      out_.append(std::string_view(mcp::lost_line_response()));
      out_.append('\n');
    }
    if (!out_.empty()) {
      // A pipe holds 64 KiB by default, so a large response would be written
      // in many rounds, each waiting for the reader. Where the system lets
      // us, make room for a megabyte, once, when the first large one comes.
      if (!pipe_widened_ && out_.size() > 65536) {
        pipe_widened_ = true;
        platform::widen_pipe(out_fd_, 1 << 20);
      }
      if (!write_all(out_fd_, out_.view())) return false;
    }
    release_buffers(limits::kKeptBuffer);
    return true;
  }
}
