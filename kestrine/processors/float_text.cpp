// The grammar check and underscore removal around fast_float's from_chars,
// which is correctly rounded and locale-independent, like the interpreter's
// own dtoa. It is the algorithm behind libstdc++'s std::from_chars, used from
// the vendored header so that the modules need no C++ runtime library (whose
// newer symbol versions would raise the glibc a wheel needs).
#include "float_text.hpp"

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

}  // namespace kx::floattext
