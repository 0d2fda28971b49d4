// Body rendering against a second, deliberately plain implementation: bits
// decoded one at a time, UTF-8 read one code point at a time, and the cut made
// by adding whole characters until the next one would not fit. Any difference
// between the two records is a finding.
//
// Input: five control bytes, then a payload.
//   [0] how the bytes member is made: low two bits 0 = the payload encoded,
//       1 = the payload taken as the encoded text, 2 = encoded then spoiled,
//       3 = not a string; a high nibble of 0xF instead parses the payload as
//       the whole detail object (members "b", "m" and "h").
//   [1] the metadata: kind, "truncated", "dropped" and "total", two bits each.
//   [2] the headers: kind (bits 0-1), reversed order (bit 2).
//   [3] which of eight candidate headers are present, one bit each.
//   [4] the byte limit: near zero, near the body's size, near 2^64 or large.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "buffer.h"
#include "embedded_pretty.h"
#include "json.h"
#include "json_tape.h"
#include "tools/bodies.h"

namespace {

constexpr std::string_view kBytes = "b", kMeta = "m", kHeaders = "h";

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string encode(std::string_view bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t acc = 0;
  int held = 0;
  for (unsigned char b : bytes) {
    acc = (acc << 8) | b;
    held += 8;
    while (held >= 6) {
      held -= 6;
      out += kAlphabet[(acc >> held) & 63];
    }
  }
  if (held > 0) out += kAlphabet[(acc << (6 - held)) & 63];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

// Strict base64, one bit at a time: every symbol before the padding gives
// six bits, whole bytes are kept, and the bits left over must all be zero.
std::optional<std::string> decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  if (padding > 2) return std::nullopt;
  std::vector<bool> bits;
  for (std::size_t i = 0; i + padding < text.size(); ++i) {
    int value = sextet(text[i]);
    if (value < 0) return std::nullopt;
    for (int bit = 5; bit >= 0; --bit) bits.push_back((value >> bit) & 1);
  }
  std::size_t whole = bits.size() / 8 * 8;
  for (std::size_t i = whole; i < bits.size(); ++i) {
    if (bits[i]) return std::nullopt;
  }
  std::string out;
  for (std::size_t i = 0; i < whole; i += 8) {
    unsigned byte = 0;
    for (std::size_t k = 0; k < 8; ++k) byte = (byte << 1) | (bits[i + k] ? 1u : 0u);
    out += static_cast<char>(byte);
  }
  return out;
}

// The byte length of each character, or nullopt when `bytes` is not strict
// UTF-8 (overlong forms, surrogates and values past U+10FFFF are refused).
std::optional<std::vector<std::size_t>> characters(std::string_view bytes) {
  std::vector<std::size_t> lengths;
  std::size_t i = 0;
  while (i < bytes.size()) {
    auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length;
    std::uint32_t point;
    if (lead < 0x80) {
      length = 1, point = lead;
    } else if ((lead >> 5) == 0x6) {
      length = 2, point = lead & 0x1F;
    } else if ((lead >> 4) == 0xE) {
      length = 3, point = lead & 0x0F;
    } else if ((lead >> 3) == 0x1E) {
      length = 4, point = lead & 0x07;
    } else {
      return std::nullopt;
    }
    if (bytes.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next >> 6) != 0x2) return std::nullopt;
      point = (point << 6) | (next & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || point > 0x10FFFF) return std::nullopt;
    if (point >= 0xD800 && point <= 0xDFFF) return std::nullopt;
    lengths.push_back(length);
    i += length;
  }
  return lengths;
}

bool names_content_type(const std::string& name) {
  static const std::string lower = "content-type", upper = "CONTENT-TYPE";
  if (name.size() != lower.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] != lower[i] && name[i] != upper[i]) return false;
  }
  return true;
}

const Json* member(const Json& object, const char* key) {
  if (!object.is_object() || !object.contains(key)) return nullptr;
  return &object.at(key);
}

Json expected_omitted(const Json& detail) {
  const Json* meta = member(detail, kMeta.data());
  const Json* total = meta ? member(*meta, "total") : nullptr;
  return Json{{"note",
               "omitted by default \xE2\x80\x94 pass include_bodies: true to include (bodies are "
               "never masked)"},
              {"size", total ? *total : Json(0)}};
}

Json expected_body(const Json& detail, std::uint64_t limit) {
  Json meta = Json::object();
  if (const Json* m = member(detail, kMeta.data())) meta = *m;
  const Json* truncated = member(meta, "truncated");
  bool stored_truncated = truncated && *truncated == Json(true);
  const Json* total_member = member(meta, "total");
  Json total = total_member ? *total_member : Json(0);
  const Json* dropped = member(meta, "dropped");
  if (dropped && *dropped == Json(true)) {
    return Json{{"note", "dropped by memory budget"}, {"size", total}};
  }

  std::string encoded;
  const Json* b = member(detail, kBytes.data());
  if (b && b->is_string()) encoded = b->get<std::string>();
  std::string bytes = decode(encoded).value_or("");
  if (bytes.empty()) return Json{{"size", 0}};

  if (auto lengths = characters(bytes)) {
    std::string text;
    std::size_t at = 0;
    for (std::size_t length : *lengths) {
      if (at + length > limit) break;
      text += bytes.substr(at, length);
      at += length;
    }
    return Json{{"original_size", total},
                {"text", text},
                {"truncated", stored_truncated || bytes.size() > limit}};
  }

  std::string content_type;
  const Json* headers = member(detail, kHeaders.data());
  if (headers && headers->is_array()) {
    for (const Json& header : *headers) {
      if (header.is_array() && header.size() >= 2 && header[0].is_string() &&
          header[1].is_string() && names_content_type(header[0].get<std::string>())) {
        content_type = header[1].get<std::string>();
        break;
      }
    }
  }
  return Json{{"content_type", content_type},
              {"note", "binary body omitted"},
              {"size", total},
              {"truncated", stored_truncated}};
}

Json made_bytes(unsigned shape, std::string_view payload) {
  switch (shape & 3) {
    case 0:
      return encode(payload);
    case 1:
      return std::string(payload);
    case 2: {
      std::string text = encode(payload);
      switch ((shape >> 2) & 3) {
        case 0:  // padding left off
          while (!text.empty() && text.back() == '=') text.pop_back();
          return text;
        case 1:  // the lowest bit of the last symbol set
          if (!text.empty()) {
            std::size_t last = text.find_last_not_of('=');
            if (last != std::string::npos) text[last] = static_cast<char>(text[last] ^ 1);
          }
          return text;
        case 2:  // a line break in the middle
          return text.insert(text.size() / 2, "\n");
        default:
          return text + "====";
      }
    }
    default: {
      const Json others[] = {nullptr, 42, Json::array({encode(payload)}), false};
      return others[(shape >> 2) & 3];
    }
  }
}

Json made_meta(unsigned shape, std::size_t size) {
  switch (shape & 3) {
    case 0:
      return nullptr;  // absent: the caller leaves the member out
    case 2:
      return Json::array({true});
    case 3:
      return "dropped";
    default:
      break;
  }
  Json meta = Json::object();
  const Json flags[] = {nullptr, true, false, "true"};
  if ((shape >> 2) & 3) meta["truncated"] = flags[(shape >> 2) & 3];
  if ((shape >> 4) & 3) meta["dropped"] = flags[(shape >> 4) & 3];
  const Json totals[] = {nullptr, size, "5000", Json(nullptr)};
  if ((shape >> 6) & 3) meta["total"] = totals[(shape >> 6) & 3];
  return meta;
}

Json made_headers(unsigned kind, unsigned present) {
  const Json candidates[] = {
      Json::array({"content-type ", "text/plain"}),
      Json::array({"CONTENT-TYPE", 5}),
      Json::array({"Content-Type"}),
      "Content-Type",
      Json::array({"Content-Type", "image/png"}),
      Json::array({"content-typ", "image/gif"}),
      Json::array({"cOnTeNt-TyPe", "text/html", "extra"}),
      Json::array({"content-type", ""}),
  };
  switch (kind & 3) {
    case 0:
      return nullptr;
    case 1:
      return Json{{"Content-Type", "image/png"}};
    default:
      break;
  }
  Json headers = Json::array();
  for (unsigned i = 0; i < 8; ++i) {
    unsigned pick = (kind & 4) ? 7 - i : i;
    if (present & (1u << pick)) headers.push_back(candidates[pick]);
  }
  return headers;
}

std::uint64_t made_limit(unsigned choice, std::size_t size) {
  std::uint64_t low = choice & 63;
  switch (choice >> 6) {
    case 0:
      return low;
    case 1:
      return size + low < 32 ? 0 : size + low - 32;
    case 2:
      return UINT64_MAX - low;
    default:
      return low * 1000;
  }
}

// What a body writer wrote for `detail`, read back as the value it stands for.
template <class Write>
Json written(const Json& detail, Write write) {
  std::string text = json::compact(detail);
  json::Tape tape;
  if (!tape.parse(text.data(), text.size())) std::abort();
  Buffer out;
  json::EmbeddedPretty pretty(out);
  write(pretty, tape);
  auto pretty_text = json::parse("\"" + std::string(out.view()) + "\"");
  if (!pretty_text) std::abort();
  auto value = json::parse(pretty_text.value().get<std::string>());
  if (!value) std::abort();
  return std::move(value.value());
}

void check(const Json& got, const Json& expected) {
  if (got != expected || json::compact(got) != json::compact(expected)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  std::string_view payload(reinterpret_cast<const char*>(data) + 5, size - 5);
  Json detail = Json::object();
  if ((data[0] >> 4) == 0xF) {
    auto parsed = json::parse(payload);
    if (!parsed) return 0;
    detail = std::move(parsed.value());
  } else {
    Json bytes = made_bytes(data[0], payload);
    if (!bytes.is_null()) detail[kBytes] = std::move(bytes);
    Json meta = made_meta(data[1], payload.size());
    if (!meta.is_null()) detail[kMeta] = std::move(meta);
    Json headers = made_headers(data[2], data[3]);
    if (!headers.is_null()) detail[kHeaders] = std::move(headers);
  }
  std::uint64_t limit = made_limit(data[4], payload.size());

  check(written(detail,
                [](json::EmbeddedPretty& out, json::Tape& tape) {
                  tools::write_omitted_body(out, tape, tape.root(), kMeta);
                }),
        expected_omitted(detail));
  Json got = written(detail, [&](json::EmbeddedPretty& out, json::Tape& tape) {
    tools::write_body_field(out, tape, tape.root(), kBytes, kMeta, kHeaders, limit);
  });
  check(got, expected_body(detail, limit));
  if (const Json* text = json::find(got, "text")) {
    const auto& kept = text->get_ref<const std::string&>();
    if (kept.size() > limit || !json::is_utf8(kept)) std::abort();
  }
  return 0;
}
