// The JSON library's own parser under the program's acceptance rules: the
// independent reading the program's parser is held to.
#pragma once

#include <optional>
#include <string_view>

#include "json.h"
#include "server_limits.h"

// `text` as one JSON value, or nothing when the program must refuse it:
// invalid UTF-8, a byte order mark, a NUL byte, nesting deeper than
// limits::kMaxDepth, or anything the library refuses.
inline std::optional<Json> reference_parse(std::string_view text) {
  if (!json::is_utf8(text) || text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    if (c == '\0') return std::nullopt;
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if ((c == '[' || c == '{') && ++depth > limits::kMaxDepth) {
      return std::nullopt;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  try {
    return Json::parse(text);
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}
