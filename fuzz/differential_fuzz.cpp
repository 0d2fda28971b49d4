// The tape against the JSON library's own parser on the same text: it takes
// exactly what the library takes under the program's acceptance rules, and
// reads every value back exactly as the library does.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "json.h"
#include "json_tape.h"
#include "reference_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (!json::is_utf8(text)) return 0;  // the upstream never hands on other lines

  std::optional<Json> exact = reference_parse(text);
  json::Tape tape;
  std::string copy = text;
  if (tape.parse(copy.data(), copy.size()) != exact.has_value()) std::abort();
  if (json::parse(text).ok() != exact.has_value()) std::abort();
  if (exact && json::value_of(tape, tape.root()) != *exact) std::abort();
  return 0;
}
