#include "reply_reader.h"

#include "json.h"
#include "server_limits.h"

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
  if (lines_ == limits::kLineBudget) {
    return fail("no matching response within " + std::to_string(limits::kLineBudget) + " lines");
  }
  auto line = input_.next();
  if (!line) {
    // No reply this long is ever answered in time, and the tape cannot hold it.
    if (input_.pending() >= limits::kMaxText) return fail("reply line too long");
    return input_.ended() ? fail("core closed connection") : Step::NeedMore;
  }
  ++lines_;
  std::size_t size = line->size();
  if (line->back() == '\n') --size;
  if (size >= limits::kMaxText) return fail("reply line too long");
  if (!json::is_utf8(std::string_view(line->data(), size))) {
    return fail("stream did not contain valid UTF-8");
  }
  return matches(line->data(), size) ? Step::Matched : Step::Skipped;
}

bool ReplyReader::matches(char* line, std::size_t size) {
  if (!tape_.parse(line, size)) return false;
  auto id = tape_.uint_value(tape_.find(tape_.root(), "id"));
  return id && *id == id_;
}

bool ReplyReader::release_if_over(std::size_t limit) {
  bool released = tape_.release_if_over(limit);
  return input_.release_if_over(limit) || released;
}
