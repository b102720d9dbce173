// The grammar check and underscore removal around fast_float's from_chars,
// which is correctly rounded and locale-independent, like the interpreter's
// own dtoa. It is the algorithm behind libstdc++'s std::from_chars, used from
// the vendored header so that the modules need no C++ runtime library (whose
// newer symbol versions would raise the glibc a wheel needs).
#include "float_text.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

#include "third_party/fast_float/fast_float.h"

namespace kx::floattext {
namespace {

// The number grammar alone: the words are matched before the parser is
// reached. [p, end) is not empty. This is fast_float's from_chars taken apart
// so that its common case, Clinger's exact fast path, is inlined here; every
// other number goes through the library's full algorithm. Out-of-range
// results come back as result_out_of_range and are declined, so float()
// gives them their value.
bool number(const char* p, const char* end, double& out) noexcept {
  const fast_float::parse_options_t<char> options(fast_float::chars_format::general);
  fast_float::parsed_number_string_t<char> pns = fast_float::parse_number_string<false>(p, end, options);
  if (!pns.valid || pns.lastmatch != end) return false;
  if (!pns.too_many_digits && fast_float::clinger_fast_path_impl(pns.mantissa, pns.exponent, pns.negative, out))
    return true;
  return fast_float::from_chars_advanced(pns, out).ec == std::errc();
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr char lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool word_is(const char* p, const char* end, const char* word) noexcept {
  for (; *word; ++p, ++word)
    if (p == end || lower(*p) != *word) return false;
  return p == end;
}

// Copies a run of digits with single underscores between digits into `out`.
// Returns the end of the run, or nullptr when an underscore is misplaced or
// the run is empty. `room` limits what may be written.
const char* digits(const char* p, const char* end, char*& out, const char* room) noexcept {
  if (p == end || !is_digit(*p)) return nullptr;
  while (p != end) {
    if (is_digit(*p)) {
      if (out == room) return nullptr;
      *out++ = *p++;
    } else if (*p == '_' && p + 1 != end && is_digit(p[1])) {
      ++p;
    } else {
      break;
    }
  }
  return p;
}

}  // namespace

bool parse(const char* p, const char* end, double& out) noexcept {
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p == end) return false;

  if (!is_digit(*p) && *p != '.') {
    double v;
    if (word_is(p, end, "inf") || word_is(p, end, "infinity"))
      v = std::numeric_limits<double>::infinity();
    else if (word_is(p, end, "nan"))
      v = std::numeric_limits<double>::quiet_NaN();
    else
      return false;
    out = negative ? -v : v;
    return true;
  }

  // Without underscores the text is already in the parser's own grammar (a
  // mantissa of digits with an optional point, an optional exponent), which
  // it checks as it reads: parse it where it stands.
  if (!std::memchr(p, '_', static_cast<size_t>(end - p))) {
    double v;
    if (!number(p, end, v)) return false;
    out = negative ? -v : v;
    return true;
  }

  // Longer texts are rare enough to leave to the interpreter.
  char buf[256];
  char* w = buf;
  const char* room = buf + sizeof buf;
  bool mantissa = false;
  if (is_digit(*p)) {
    p = digits(p, end, w, room);
    if (!p) return false;
    mantissa = true;
  }
  if (p != end && *p == '.') {
    if (w == room) return false;
    *w++ = *p++;
    if (p != end && is_digit(*p)) {
      p = digits(p, end, w, room);
      if (!p) return false;
      mantissa = true;
    }
  }
  if (!mantissa) return false;
  if (p != end && (*p == 'e' || *p == 'E')) {
    if (w == room) return false;
    *w++ = *p++;
    if (p != end && (*p == '+' || *p == '-')) {
      if (w == room) return false;
      *w++ = *p++;
    }
    p = digits(p, end, w, room);
    if (!p) return false;
  }
  if (p != end) return false;

  double v;
  if (!number(buf, w, v)) return false;
  out = negative ? -v : v;
  return true;
}

#ifdef __SIZEOF_INT128__
std::size_t fixed(double value, int digits, char (&out)[kFixedMax]) noexcept {
  constexpr auto kPow10 = [] {
    std::array<std::uint64_t, 18> t{1};
    for (std::size_t k = 1; k < t.size(); ++k) t[k] = t[k - 1] * 10;
    return t;
  }();
  if (digits < 0 || digits > 17) return 0;
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = bits >> 63;
  const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7ff;
  if (biased == 0x7ff) return 0;  // an infinity or a NaN
  // value = mantissa * 2**exponent exactly, the mantissa below 2**53.
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent = -1074;
  if (biased != 0) {
    mantissa |= std::uint64_t{1} << 52;
    exponent = static_cast<int>(biased) - 1075;
  }
  __extension__ typedef unsigned __int128 u128;  // no warning under -Wpedantic
  const std::uint64_t unit = kPow10[static_cast<std::size_t>(digits)];
  u128 scaled;  // value * 10**digits, rounded half to even
  if (exponent >= 0) {
    if (exponent > 11) return 0;  // 2**64 or more
    scaled = static_cast<u128>(mantissa << exponent) * unit;
  } else {
    // mantissa * 10**digits < 2**53 * 2**57 = 2**110; a shift of 111 or more
    // leaves nothing and less than half a unit.
    const u128 n = static_cast<u128>(mantissa) * unit;
    const int shift = -exponent;
    if (shift > 110) {
      scaled = 0;
    } else {
      scaled = n >> shift;
      const u128 rest = n - (scaled << shift);
      const u128 half = u128{1} << (shift - 1);
      if (rest > half || (rest == half && (scaled & 1))) ++scaled;
    }
  }
  if (scaled >> 64) return 0;
  std::uint64_t whole = static_cast<std::uint64_t>(scaled) / unit;
  std::uint64_t fraction = static_cast<std::uint64_t>(scaled) % unit;
  // Written backwards from the end of `out`, then moved to its start.
  char* const end = out + kFixedMax;
  char* p = end;
  for (int i = 0; i < digits; ++i) {
    *--p = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  if (digits > 0) *--p = '.';
  do {
    *--p = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole);
  if (negative) *--p = '-';
  const std::size_t len = static_cast<std::size_t>(end - p);
  std::memmove(out, p, len);
  return len;
}
#else
std::size_t fixed(double, int, char (&)[kFixedMax]) noexcept { return 0; }
#endif

}  // namespace kx::floattext
