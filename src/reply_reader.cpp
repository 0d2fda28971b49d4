#include "reply_reader.h"

#include <cstring>

#include "server_limits.h"

char* ReplyReader::space(std::size_t& room) {
  // What was read is dropped here, not earlier, so a matched reply stays
  // where its tape points until the next read.
  if (start_ > 0) {
    buffer_.consume(start_);
    start_ = 0;
  }
  char* at = buffer_.reserve_more(limits::kMinRead);
  room = buffer_.capacity() - buffer_.size();
  return at;
}

void ReplyReader::expect(std::uint64_t id) {
  id_ = id;
  lines_ = 0;
  failure_.clear();
}

ReplyReader::Step ReplyReader::fail(std::string message) {
  failure_ = std::move(message);
  return Step::Failed;
}

ReplyReader::Step ReplyReader::step() {
  if (lines_ == limits::kLineBudget) return fail("no matching response within 64 lines");
  char* line = buffer_.data() + start_;
  std::size_t available = buffer_.size() - start_;
  auto* newline = static_cast<char*>(
      available > scanned_ ? std::memchr(line + scanned_, '\n', available - scanned_) : nullptr);
  std::size_t size;
  if (newline != nullptr) {
    size = static_cast<std::size_t>(newline - line);
    start_ += size + 1;
  } else if (available >= limits::kMaxText) {
    // No reply this long is ever answered in time, and the tape cannot hold it.
    return fail("reply line too long");
  } else if (!eof_) {
    scanned_ = available;
    return Step::NeedMore;
  } else if (available == 0) {
    return fail("core closed connection");
  } else {
    size = available;  // a last line without its line feed
    start_ += size;
  }
  scanned_ = 0;
  ++lines_;
  if (size >= limits::kMaxText) return fail("reply line too long");
  if (!json::is_utf8(std::string_view(line, size))) {
    return fail("stream did not contain valid UTF-8");
  }
  return matches(line, size) ? Step::Matched : Step::Skipped;
}

bool ReplyReader::matches(char* line, std::size_t size) {
  if (!tape_.parse(line, size)) return false;
  auto id = tape_.uint_value(tape_.find(tape_.root(), "id"));
  return id && *id == id_;
}

void ReplyReader::reset() {
  buffer_.clear();
  start_ = scanned_ = 0;
  eof_ = false;
}

bool ReplyReader::release_if_over(std::size_t limit) {
  bool released = tape_.release_if_over(limit);
  if (buffer_.capacity() > limit) {
    buffer_.consume(start_);  // only what is not read yet is kept
    start_ = 0;
    released = buffer_.release_if_over(limit) || released;
  }
  return released;
}
