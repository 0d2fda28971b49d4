// The session loop: MCP on two descriptors, one JSON-RPC message per line.
//
// Strictly one request at a time: read a line, answer it, write the answer,
// read the next. Buffers grown by a call are kept for the next one, and given
// back once the input has been quiet for limits::kIdle.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "buffer.h"
#include "upstream.h"
#include "upstream_clock.h"

class Session {
 public:
  // Reads from `in`, writes to `out`; every wait on `clock`.
  Session(int in, int out, Upstream& upstream, UpstreamClock& clock = UpstreamClock::real())
      : in_fd_(in), out_fd_(out), upstream_(upstream), clock_(clock) {}

  // Reads, answers and writes the next line that is not blank. False when the
  // session is over: the input ended or failed, a line was not UTF-8, or the
  // output is gone.
  bool serve_one();
  void run() {
    while (serve_one()) {
    }
  }

  // Bytes the session's own buffers hold now.
  std::size_t held() const { return input_.capacity() + out_.capacity(); }

 private:
  struct Line {
    std::string_view text;  // without its line end ("\n", or "\r\n")
    // The line was too long to hold in memory and is gone; `text` is empty.
    bool lost = false;
  };
  // The next line, valid until the next call; nullopt at the end of the
  // input or on a read error.
  std::optional<Line> next_line();
  std::optional<Line> skip_line();
  bool quiet_for(std::chrono::milliseconds wait) const;
  // Appends the response to `line` to out_; nothing for a notification.
  void respond(std::string_view line);
  // Gives back buffers grown past `limit`, the upstream's included.
  void release_buffers(std::size_t limit);

  int in_fd_;
  int out_fd_;
  Upstream& upstream_;
  UpstreamClock& clock_;
  LineBuffer input_;
  Buffer out_;  // one response line, reused
  bool pipe_widened_ = false;
};
