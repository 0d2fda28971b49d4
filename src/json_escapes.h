// What a JSON string must escape, as the writers of JSON text escape it: the
// quotation mark, the backslash and control characters, nothing else.
#pragma once

#include <cstdint>
#include <string_view>

namespace json {

// The first byte in [p, end) that a JSON string must escape or that ends
// it: a quotation mark, a backslash or a control character; `end` if none.
const char* find_special(const char* p, const char* end);

// What each byte of a string becomes in JSON text, escaped once (a string of
// a response line) or twice (a string inside the pretty text that a response
// line carries as a string): empty for the bytes that stay as they are.
struct Escapes {
  char text[256][8] = {};
  std::uint8_t size[256] = {};
  constexpr std::string_view operator[](unsigned char c) const { return {text[c], size[c]}; }
};
constexpr Escapes make_escapes(int times) {
  // The bytes with a short escape, each followed by the letter of its escape.
  constexpr std::string_view kShort = "\"\"\\\\\bb\ff\nn\rr\tt";
  constexpr char kHex[] = "0123456789abcdef";
  Escapes e;
  for (int c = 0; c < 256; ++c) {
    char once[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};  // the escape in JSON text
    std::size_t size = c < 0x20 ? sizeof once : 0;
    for (std::size_t at = 0; at < kShort.size(); at += 2) {
      if (kShort[at] == c) once[1] = kShort[at + 1], size = 2;
    }
    for (std::size_t i = 0; i < size; ++i) {
      if (times == 2 && (once[i] == '\\' || once[i] == '"')) e.text[c][e.size[c]++] = '\\';
      e.text[c][e.size[c]++] = once[i];
    }
  }
  return e;
}
inline constexpr Escapes kEscapedOnce = make_escapes(1);
inline constexpr Escapes kEscapedTwice = make_escapes(2);

}  // namespace json
