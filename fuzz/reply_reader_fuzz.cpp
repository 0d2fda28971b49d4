// The reply reader on any byte stream cut into any pieces: it picks the same
// reply, or fails the same way, as the rules read line by line with the JSON
// library's own parser.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json.h"
#include "reference_json.h"
#include "reply_reader.h"

namespace {

// The rules, read plainly: the index of the matching line, or -1 with why.
struct Expected {
  int line = -1;
  std::string failure;
};

Expected expected(std::string_view stream, std::uint64_t id) {
  Expected out;
  for (int lines = 0;; ++lines) {
    if (lines == 64) return {-1, "no matching response within 64 lines"};
    if (stream.empty()) return {-1, "core closed connection"};
    auto nl = stream.find('\n');
    std::string_view line = stream.substr(0, nl);
    stream.remove_prefix(nl == std::string_view::npos ? stream.size() : nl + 1);
    if (!json::is_utf8(line)) return {-1, "stream did not contain valid UTF-8"};
    std::optional<Json> parsed = reference_parse(line);
    if (!parsed) continue;
    const Json* reply_id = json::find(*parsed, "id");
    if (reply_id && reply_id->is_number_unsigned() && reply_id->get<std::uint64_t>() == id) {
      return {lines, ""};
    }
  }
}

// Line `index` of `stream`.
std::string_view reply_line(std::string_view stream, int index) {
  for (int i = 0; i < index; ++i) stream.remove_prefix(stream.find('\n') + 1);
  return stream.substr(0, stream.find('\n'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // Byte 0: the id looked for (0..7); byte 1: the size of the pieces fed.
  std::uint64_t id = data[0] % 8;
  std::size_t piece = data[1] % 16 + 1;
  std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);
  Expected want = expected(stream, id);

  ReplyReader reader;
  reader.expect(id);
  std::size_t fed = 0;
  for (;;) {
    ReplyReader::Step step = reader.step();
    if (step == ReplyReader::Step::Matched) {
      if (want.line != reader.lines_read() - 1) std::abort();
      Json reply = json::value_of(reader.tape(), reader.tape().root());
      if (reply != reference_parse(reply_line(stream, want.line))) std::abort();
      return 0;
    }
    if (step == ReplyReader::Step::Skipped) continue;
    if (step == ReplyReader::Step::Failed) {
      if (want.line != -1 || want.failure != reader.failure()) std::abort();
      return 0;
    }
    if (fed == stream.size()) {
      reader.closed();
      continue;
    }
    std::size_t room = 0;
    char* at = reader.space(room);
    std::size_t n = std::min({piece, room, stream.size() - fed});
    std::memcpy(at, stream.data() + fed, n);
    reader.received(n);
    fed += n;
  }
}
