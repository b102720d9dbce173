// libFuzzer target for the text-to-double parser of `to_float`. The parser
// runs on the fuzzer's exact-size buffer, so AddressSanitizer reports any
// read past the text. Whatever it accepts must be a number of the
// interpreter's float grammar and must have exactly the value the C
// library's strtod gives for it (underscores removed); what it declines must
// be outside that grammar, too long, or out of the normal range, since
// declining costs a slow fallback.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "processors/float_text.hpp"

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// digit (["_"] digit)*, starting at s[i]; advances i. An independent reading
// of the grammar, written without looking at the parser's loop.
bool digitpart(const std::string& s, size_t& i) {
  if (i >= s.size() || !digit(s[i])) return false;
  ++i;
  while (i < s.size()) {
    if (digit(s[i])) {
      ++i;
    } else if (s[i] == '_' && i + 1 < s.size() && digit(s[i + 1])) {
      i += 2;
    } else {
      break;
    }
  }
  return true;
}

bool iequals(const std::string& s, size_t from, const char* word) {
  size_t n = std::strlen(word);
  if (s.size() - from != n) return false;
  for (size_t k = 0; k < n; ++k)
    if (std::tolower(static_cast<unsigned char>(s[from + k])) != word[k]) return false;
  return true;
}

// The interpreter's float literal grammar, whitespace already stripped.
bool python_float(const std::string& s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (iequals(s, i, "inf") || iequals(s, i, "infinity") || iequals(s, i, "nan")) return true;
  bool mantissa = false;
  if (i < s.size() && digit(s[i])) mantissa = digitpart(s, i);
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (i < s.size() && digit(s[i])) mantissa = digitpart(s, i) || mantissa;
  }
  if (!mantissa) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digitpart(s, i)) return false;
  }
  return i == s.size();
}

bool same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

[[noreturn]] void fail(const char* what, const std::string& s, double got, double want) {
  std::fprintf(stderr, "float_text: %s for \"%s\": parse %.17g, strtod %.17g\n", what, s.c_str(), got, want);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* begin = reinterpret_cast<const char*>(data);
  double got = 12345.0;
  const bool accepted = kx::floattext::parse(begin, begin + size, got);

  std::string text(begin, size);
  const bool grammar = text.find('\0') == std::string::npos && python_float(text);
  if (accepted && !grammar) fail("accepted outside the grammar", text, got, 0);
  if (!grammar) return 0;

  std::string plain;
  for (char c : text)
    if (c != '_') plain += c;
  errno = 0;
  char* stop = nullptr;
  const double want = std::strtod(plain.c_str(), &stop);
  const bool range_error = errno == ERANGE;
  if (stop != plain.c_str() + plain.size()) fail("strtod stopped early on grammar text", text, got, want);
  if (accepted) {
    if (!same(got, want)) fail("wrong value", text, got, want);
    return 0;
  }
  // Declined grammar text: only long text and results outside the normal
  // range may take the slow road.
  const bool normal_range = !range_error && (want == 0 || std::isnormal(want) || std::isinf(want) || std::isnan(want));
  if (size <= 200 && normal_range) fail("declined an ordinary number", text, got, want);
  return 0;
}
