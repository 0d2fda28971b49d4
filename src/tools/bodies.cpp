#include "tools/bodies.h"

#include <array>

namespace tools {
namespace {

constexpr std::string_view kOmittedNote =
    "omitted by default \u2014 pass include_bodies: true to include (bodies are never masked)";
constexpr std::string_view kDroppedNote = "dropped by memory budget";
constexpr std::string_view kBinaryNote = "binary body omitted";

// The symbols' values once per position in a group of four, shifted into
// place, so that a group decodes with four lookups and one check; a byte that
// is no symbol sets kBadSymbol.
constexpr std::uint32_t kBadSymbol = 1u << 24;
struct GroupTables {
  std::uint32_t at[4][256];
};
constexpr GroupTables make_group_tables() {
  GroupTables t{};
  for (auto& position : t.at) {
    for (auto& entry : position) entry = kBadSymbol;
  }
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::uint32_t i = 0; i < alphabet.size(); ++i) {
    for (int k = 0; k < 4; ++k)
      t.at[k][static_cast<unsigned char>(alphabet[i])] = i << (18 - 6 * k);
  }
  return t;
}
constexpr GroupTables kGroups = make_group_tables();

bool is_content_type_name(std::string_view name) {
  constexpr std::string_view wanted = "content-type";
  if (name.size() != wanted.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != wanted[i]) return false;
  }
  return true;
}

// Length of the longest prefix of `text` (valid UTF-8) that is at most
// `limit` bytes and does not end inside a character.
std::size_t cut_point(std::string_view text, std::uint64_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t cut = static_cast<std::size_t>(limit);
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

}  // namespace

std::optional<std::size_t> base64_decode_into(const char* in, std::size_t size, char* out) {
  if (size % 4 != 0) return std::nullopt;
  if (size == 0) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(in);
  std::size_t padding = s[size - 1] == '=' ? (s[size - 2] == '=' ? 2 : 1) : 0;
  std::uint32_t bad = 0;
  char* o = out;
  // Every group but the last: each is read before its bytes are written, and
  // decoding in place writes only behind what is still to be read.
  for (const unsigned char* last = s + size - 4; s < last; s += 4, o += 3) {
    std::uint32_t group =
        kGroups.at[0][s[0]] | kGroups.at[1][s[1]] | kGroups.at[2][s[2]] | kGroups.at[3][s[3]];
    bad |= group;
    o[0] = static_cast<char>(group >> 16);
    o[1] = static_cast<char>(group >> 8);
    o[2] = static_cast<char>(group);
  }
  if (bad & kBadSymbol) return std::nullopt;
  std::size_t symbols = 4 - padding;
  std::uint32_t group = 0;
  for (std::size_t k = 0; k < symbols; ++k) group |= kGroups.at[k][s[k]];
  if (group & kBadSymbol) return std::nullopt;
  // The bits the padding leaves over must be zero, or two texts would decode
  // alike.
  if ((symbols == 2 && (group & 0xFFFF) != 0) || (symbols == 3 && (group & 0xFF) != 0)) {
    return std::nullopt;
  }
  *o++ = static_cast<char>(group >> 16);
  if (symbols >= 3) *o++ = static_cast<char>(group >> 8);
  if (symbols == 4) *o++ = static_cast<char>(group);
  return static_cast<std::size_t>(o - out);
}

namespace {

using json::Tape;

std::uint32_t meta_of(const Tape& tape, std::uint32_t detail, std::string_view meta_key) {
  std::uint32_t meta = tape.find(detail, meta_key);
  return tape.is(meta, Tape::Kind::Object) ? meta : Tape::kNone;
}

void write_total(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t meta) {
  std::uint32_t total = tape.find(meta, "total");
  if (total == Tape::kNone) {
    out.uint(0);
  } else {
    out.value(tape, total);
  }
}

bool flag_of(const Tape& tape, std::uint32_t meta, std::string_view key) {
  return tape.is(tape.find(meta, key), Tape::Kind::True);
}

std::string_view content_type_of(const Tape& tape, std::uint32_t detail,
                                 std::string_view headers_key) {
  std::uint32_t headers = tape.find(detail, headers_key);
  if (!tape.is(headers, Tape::Kind::Array)) return {};
  for (std::uint32_t h = tape.first_child(headers); h < tape[headers].end; h = tape[h].end) {
    if (!tape.is(h, Tape::Kind::Array) || tape[h].end == h + 1) continue;
    std::uint32_t name = h + 1;
    std::uint32_t value = tape[name].end;
    if (value >= tape[h].end) continue;  // fewer than two elements
    if (tape.is(name, Tape::Kind::String) && tape.is(value, Tape::Kind::String) &&
        is_content_type_name(tape.string(name))) {
      return tape.string(value);
    }
  }
  return {};
}

}  // namespace

void write_omitted_body(json::EmbeddedPretty& out, const Tape& tape, std::uint32_t detail,
                        std::string_view meta_key) {
  out.begin_object();
  out.key("note");
  out.string(kOmittedNote);
  out.key("size");
  write_total(out, tape, meta_of(tape, detail, meta_key));
  out.end_object();
}

void write_body_field(json::EmbeddedPretty& out, Tape& tape, std::uint32_t detail,
                      std::string_view bytes_key, std::string_view meta_key,
                      std::string_view headers_key, std::uint64_t limit) {
  std::uint32_t meta = meta_of(tape, detail, meta_key);
  bool stored_truncated = flag_of(tape, meta, "truncated");
  out.begin_object();
  if (flag_of(tape, meta, "dropped")) {
    out.key("note");
    out.string(kDroppedNote);
    out.key("size");
    write_total(out, tape, meta);
    return out.end_object();
  }

  std::uint32_t encoded = tape.find(detail, bytes_key);
  std::optional<std::size_t> size;
  char* bytes = nullptr;
  if (tape.is(encoded, Tape::Kind::String)) {
    std::span<char> text = tape.take_string(encoded);
    bytes = text.data();
    size = base64_decode_into(bytes, text.size(), bytes);
  }
  if (!size || *size == 0) {
    out.key("size");
    out.uint(0);
    return out.end_object();
  }

  std::string_view body(bytes, *size);
  if (json::is_utf8(body)) {
    out.key("original_size");
    write_total(out, tape, meta);
    out.key("text");
    out.string(body.substr(0, cut_point(body, limit)));
    out.key("truncated");
    out.boolean(stored_truncated || body.size() > limit);
    return out.end_object();
  }
  out.key("content_type");
  out.string(content_type_of(tape, detail, headers_key));
  out.key("note");
  out.string(kBinaryNote);
  out.key("size");
  write_total(out, tape, meta);
  out.key("truncated");
  out.boolean(stored_truncated);
  out.end_object();
}

}  // namespace tools
