#include "json_escapes.h"

#include <bit>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace json {

const char* find_special(const char* p, const char* end) {
#ifdef __SSE2__
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                               _mm_cmpeq_epi8(_mm_min_epu8(v, control), v));
    if (int mask = _mm_movemask_epi8(hit)) {
      return p + std::countr_zero(static_cast<unsigned>(mask));
    }
    p += 16;
  }
#else
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    while (end - p >= 8) {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      std::uint64_t q = v ^ (ones * '"'), b = v ^ (ones * '\\');
      std::uint64_t hit = ((q - ones) & ~q) | ((b - ones) & ~b) | ((v - ones * 0x20) & ~v);
      if (hit &= highs) return p + std::countr_zero(hit) / 8;
      p += 8;
    }
  }
#endif
  for (; p < end; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
  }
  return end;
}

}  // namespace json
