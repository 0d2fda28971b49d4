#include "text.h"

#include "time_text.h"

#include <array>
#include <cctype>

namespace demo {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kNotSymbol = 0xFF;

// The value of each byte as a base64 symbol, kNotSymbol for other bytes.
constexpr std::array<std::uint8_t, 256> kSymbolValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotSymbol);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return values;
}();

// Decodes `size` symbols from `in` to `out`, which may be `in` itself: each
// group of four symbols is read before its three bytes are written. Returns
// the number of bytes, or nothing when a character is not a symbol.
std::optional<std::size_t> decode_symbols(const char* in, std::size_t size, char* out) {
  auto value = [&](std::size_t i) {
    return static_cast<std::uint32_t>(kSymbolValues[static_cast<unsigned char>(in[i])]);
  };
  std::size_t i = 0;
  std::size_t n = 0;
  for (; i + 4 <= size; i += 4) {
    std::uint32_t a = value(i), b = value(i + 1), c = value(i + 2), d = value(i + 3);
    if (((a | b | c | d) & 0xC0) != 0) return std::nullopt;  // kNotSymbol has these bits
    std::uint32_t group = a << 18 | b << 12 | c << 6 | d;
    out[n++] = static_cast<char>(group >> 16);
    out[n++] = static_cast<char>(group >> 8 & 0xFF);
    out[n++] = static_cast<char>(group & 0xFF);
  }
  std::uint32_t group = 0;
  std::size_t rest = size - i;
  for (std::size_t k = 0; k < rest; ++k) {
    std::uint32_t v = value(i + k);
    if (v == kNotSymbol) return std::nullopt;
    group |= v << (18 - 6 * k);
  }
  if (rest >= 2) out[n++] = static_cast<char>(group >> 16);
  if (rest == 3) out[n++] = static_cast<char>(group >> 8 & 0xFF);
  return n;
}

// The symbols of a text: without its padding, and not one short of a group.
std::optional<std::size_t> symbol_count(std::string_view text) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return std::nullopt;
  return text.size();
}

struct Civil {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// Proleptic Gregorian calendar, eras of 400 years counted from March.
Civil civil_from_days(std::int64_t days) {
  days += 719468;
  std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  auto doe = static_cast<unsigned>(days - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  unsigned day = doy - (153 * mp + 2) / 5 + 1;
  unsigned month = mp < 10 ? mp + 3 : mp - 9;
  std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  auto yoe = static_cast<unsigned>(year - era * 400);
  unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::string two(unsigned n) {
  return {static_cast<char>('0' + n / 10 % 10), static_cast<char>('0' + n % 10)};
}

// Reads exactly `width` digits at `pos`, advancing it.
std::optional<unsigned> digits(std::string_view text, std::size_t& pos, std::size_t width) {
  if (pos + width > text.size()) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    char c = text[pos + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  pos += width;
  return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '=');
  auto byte = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
  };
  char* o = out.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    *o++ = kAlphabet[n >> 18 & 63];
    *o++ = kAlphabet[n >> 12 & 63];
    *o++ = kAlphabet[n >> 6 & 63];
    *o++ = kAlphabet[n & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    *o++ = kAlphabet[n >> 18 & 63];
    *o++ = kAlphabet[n >> 12 & 63];
    if (rest == 2) *o = kAlphabet[n >> 6 & 63];
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  auto symbols = symbol_count(text);
  if (!symbols) return std::nullopt;
  std::string out(*symbols / 4 * 3 + 2, '\0');
  auto size = decode_symbols(text.data(), *symbols, out.data());
  if (!size) return std::nullopt;
  out.resize(*size);
  return out;
}

bool base64_decode_in_place(std::string& text) {
  auto symbols = symbol_count(text);
  auto size = symbols ? decode_symbols(text.data(), *symbols, text.data()) : std::nullopt;
  if (!size) return false;
  text.resize(*size);
  return true;
}

// The same rendering the server gives flow times.
std::string iso_time(std::uint64_t ms) {
  return utc_text(ms);
}

std::string http_date(std::uint64_t ms) {
  static constexpr std::array<const char*, 7> kWeekdays = {"Thu", "Fri", "Sat", "Sun",
                                                           "Mon", "Tue", "Wed"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  auto days = static_cast<std::int64_t>(ms / 86400000);
  auto secs = static_cast<unsigned>(ms / 1000 % 86400);
  auto c = civil_from_days(days);
  return std::string(kWeekdays[static_cast<std::size_t>(days % 7)]) + ", " + two(c.day) + " " +
         kMonths[c.month - 1] + " " + std::to_string(c.year) + " " + two(secs / 3600) + ":" +
         two(secs % 3600 / 60) + ":" + two(secs % 60) + " GMT";
}

std::optional<std::uint64_t> parse_iso_time(std::string_view text) {
  std::size_t pos = 0;
  auto year = digits(text, pos, 4);
  if (!year || !expect(text, pos, '-')) return std::nullopt;
  auto month = digits(text, pos, 2);
  if (!month || !expect(text, pos, '-')) return std::nullopt;
  auto day = digits(text, pos, 2);
  if (!day || !expect(text, pos, 'T')) return std::nullopt;
  auto hour = digits(text, pos, 2);
  if (!hour || !expect(text, pos, ':')) return std::nullopt;
  auto minute = digits(text, pos, 2);
  if (!minute || !expect(text, pos, ':')) return std::nullopt;
  auto second = digits(text, pos, 2);
  if (!second || *month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 ||
      *second > 60) {
    return std::nullopt;
  }
  std::int64_t millis = 0;
  if (expect(text, pos, '.')) {
    int scale = 100;
    std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      millis += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  std::int64_t offset_min = 0;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    auto oh = digits(text, pos, 2);
    if (!oh) return std::nullopt;
    expect(text, pos, ':');
    auto om = digits(text, pos, 2);
    if (!om) return std::nullopt;
    offset_min = sign * static_cast<std::int64_t>(*oh * 60 + *om);
  } else if (!expect(text, pos, 'Z')) {
    // No zone: read as UTC, the only choice that needs no local time zone.
  }
  if (pos != text.size()) return std::nullopt;
  std::int64_t secs = days_from_civil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 +
                      *second - offset_min * 60;
  std::int64_t total = secs * 1000 + millis;
  if (total < 0) return std::nullopt;
  return static_cast<std::uint64_t>(total);
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  return lower(a) == lower(b);
}

bool icontains(std::string_view haystack, std::string_view needle) {
  return lower(haystack).find(lower(needle)) != std::string::npos;
}

}  // namespace demo
