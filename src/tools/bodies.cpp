#include "tools/bodies.h"

#include <array>

namespace tools {
namespace {

constexpr std::string_view kOmittedNote =
    "omitted by default \u2014 pass include_bodies: true to include (bodies are never masked)";
constexpr std::string_view kDroppedNote = "dropped by memory budget";
constexpr std::string_view kBinaryNote = "binary body omitted";

constexpr unsigned char kInvalid = 0xFF;

constexpr std::array<unsigned char, 256> make_decode_table() {
  std::array<unsigned char, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
  }
  return table;
}

constexpr auto kDecode = make_decode_table();

// The metadata member of the detail; anything but an object reads as empty.
const Json* meta_of(const Json& detail, std::string_view meta_key) {
  const Json* meta = json::find(detail, meta_key);
  return meta && meta->is_object() ? meta : nullptr;
}

// The core's own count of the body's bytes, whatever its type; 0 when absent.
Json total_of(const Json* meta) {
  const Json* total = meta ? json::find(*meta, "total") : nullptr;
  return total ? *total : Json(std::uint64_t{0});
}

bool flag_of(const Json* meta, std::string_view key) {
  const Json* flag = meta ? json::find(*meta, key) : nullptr;
  return flag && flag->is_boolean() && flag->get<bool>();
}

bool is_content_type_name(const std::string& name) {
  constexpr std::string_view wanted = "content-type";
  if (name.size() != wanted.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != wanted[i]) return false;
  }
  return true;
}

// The value of the first header named Content-Type (any ASCII case) whose
// value is a string; empty when there is none.
std::string content_type_of(const Json& detail, std::string_view headers_key) {
  const Json* headers = json::find(detail, headers_key);
  if (!headers || !headers->is_array()) return {};
  for (const Json& header : *headers) {
    if (!header.is_array() || header.size() < 2) continue;
    const Json& name = header[0];
    const Json& value = header[1];
    if (name.is_string() && value.is_string() &&
        is_content_type_name(name.get_ref<const std::string&>())) {
      return value.get<std::string>();
    }
  }
  return {};
}

// Length of the longest prefix of `text` (valid UTF-8) that is at most
// `limit` bytes and does not end inside a character.
std::size_t cut_point(const std::string& text, std::uint64_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t cut = static_cast<std::size_t>(limit);
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

}  // namespace

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3 - padding);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    std::size_t symbols = last ? 4 - padding : 4;
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      unsigned char v = 0;
      if (k < symbols) {
        v = kDecode[static_cast<unsigned char>(text[i + k])];
        if (v == kInvalid) return std::nullopt;
      }
      group = (group << 6) | v;
    }
    out.push_back(static_cast<char>(group >> 16));
    if (symbols >= 3) out.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (symbols == 4) out.push_back(static_cast<char>(group & 0xFF));
    // The bits the padding leaves over must be zero, or two texts would
    // decode alike.
    if (symbols == 2 && (group & 0xFFFF) != 0) return std::nullopt;
    if (symbols == 3 && (group & 0xFF) != 0) return std::nullopt;
  }
  return out;
}

Json omitted_body(const Json& detail, std::string_view meta_key) {
  return Json{{"note", kOmittedNote}, {"size", total_of(meta_of(detail, meta_key))}};
}

Json body_field(const Json& detail, std::string_view bytes_key, std::string_view meta_key,
                std::string_view headers_key, std::uint64_t limit) {
  const Json* meta = meta_of(detail, meta_key);
  bool stored_truncated = flag_of(meta, "truncated");
  Json total = total_of(meta);
  if (flag_of(meta, "dropped")) return Json{{"note", kDroppedNote}, {"size", std::move(total)}};

  const Json* encoded = json::find(detail, bytes_key);
  std::optional<std::string> bytes;
  if (encoded && encoded->is_string())
    bytes = base64_decode(encoded->get_ref<const std::string&>());
  if (!bytes || bytes->empty()) return Json{{"size", std::uint64_t{0}}};

  if (json::is_utf8(*bytes)) {
    bool cut_short = bytes->size() > limit;
    std::size_t keep = cut_point(*bytes, limit);
    Json record = Json::object();
    record["original_size"] = std::move(total);
    // A whole body moves into the record; a cut one copies only what is kept.
    if (cut_short) {
      record["text"] = std::string(bytes->data(), keep);
    } else {
      record["text"] = std::move(*bytes);
    }
    record["truncated"] = stored_truncated || cut_short;
    return record;
  }
  return Json{{"content_type", content_type_of(detail, headers_key)},
              {"note", kBinaryNote},
              {"size", std::move(total)},
              {"truncated", stored_truncated}};
}

}  // namespace tools
