// The upstream's reading rules, with no I/O: it is fed the bytes that came
// from the core, splits them into lines and picks out the reply to the one
// outstanding request. The socket code around it only waits and reads.
//
// Rules: a line ends at "\n" (or at the end of the stream); a line that is
// not UTF-8, or of 2 GiB or more, ends the exchange; lines that are not JSON,
// not objects, or carry another id are skipped, but at most 64 lines are read
// per exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "buffer.h"
#include "json_tape.h"
#include "server_limits.h"

class ReplyReader {
 public:
  // Skipped: one line was read and was not the reply.
  enum class Step { NeedMore, Skipped, Matched, Failed };

  // Where the next received bytes go, and how many fit there.
  char* space(std::size_t& room) { return input_.space(limits::kMinRead, room); }
  void received(std::size_t n) { input_.received(n); }
  // The core ended the stream.
  void closed() { input_.closed(); }

  // Starts looking for the reply to request `id`, with a fresh line budget.
  // Bytes already received and not yet read stay.
  void expect(std::uint64_t id);
  // Reads the next complete line received, if there is one.
  Step step();
  // Lines read in this exchange; a new line starts its own time limit.
  int lines_read() const { return lines_; }

  // After Matched: the reply read into a tape, valid until the next
  // expect() or space().
  json::Tape& tape() { return tape_; }
  // After Failed: what went wrong, for a transport error.
  const std::string& failure() const { return failure_; }

  // Forgets everything; the connection is gone.
  void reset() { input_.reset(); }
  // Gives back buffers grown past `limit` bytes; true when any was.
  bool release_if_over(std::size_t limit);

 private:
  bool matches(char* line, std::size_t size);
  Step fail(std::string message);

  LineBuffer input_;
  std::uint64_t id_ = 0;
  int lines_ = 0;
  json::Tape tape_;
  std::string failure_;
};
