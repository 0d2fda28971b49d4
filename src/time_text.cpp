#include "time_text.h"

#include <charconv>
#include <cstring>

std::size_t write_utc_text(std::uint64_t ms, char* out) {
  const std::uint64_t millis = ms % 1000;
  const std::uint64_t secs = ms / 1000;
  const std::uint64_t of_day = secs % 86400;
  // Civil from days: eras of 400 years (146097 days), years counted from 1 March.
  // Every quantity is non-negative and at most ~2.2e11, so unsigned 64-bit is enough.
  const std::uint64_t z = ms / 86400000 + 719468;
  const std::uint64_t era = z / 146097;
  const std::uint64_t doe = z - era * 146097;
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::uint64_t mp = (5 * doy + 2) / 153;
  const std::uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

  // Written by hand: this runs for every flow of every listing.
  char* at = out;
  auto digits = std::to_chars(at, at + 24, year).ptr;
  std::size_t width = static_cast<std::size_t>(digits - at);
  if (width < 4) {  // the year has at least four digits
    std::memmove(at + 4 - width, at, width);
    std::memset(at, '0', 4 - width);
    width = 4;
  }
  at += width;
  auto two = [&](char before, std::uint64_t value) {
    *at++ = before;
    *at++ = static_cast<char>('0' + value / 10);
    *at++ = static_cast<char>('0' + value % 10);
  };
  two('-', month);
  two('-', day);
  two('T', of_day / 3600);
  two(':', of_day % 3600 / 60);
  two(':', of_day % 60);
  *at++ = '.';
  *at++ = static_cast<char>('0' + millis / 100);
  *at++ = static_cast<char>('0' + millis / 10 % 10);
  *at++ = static_cast<char>('0' + millis % 10);
  *at++ = 'Z';
  return static_cast<std::size_t>(at - out);
}

std::string utc_text(std::uint64_t ms) {
  char text[kUtcTextMax];
  return std::string(text, write_utc_text(ms, text));
}
