// libFuzzer target for the fixed-point text the decimal processor makes of a
// float. The input's first eight bytes are the double's bits and the next one
// the number of decimals (0 to 31). What fixed() writes must be exactly what
// the C library's "%.*f" writes, which is correctly rounded, half to even, in
// the default rounding mode, as the interpreter's own conversion is. What it
// declines must be a non-finite value, more than 17 decimals, or a rounded
// value too large for 64 bits.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "processors/float_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  double value;
  std::memcpy(&value, data, sizeof value);
  const int digits = data[8] % 32;
  char got[kx::floattext::kFixedMax];
  const std::size_t len = kx::floattext::fixed(value, digits, got);

  char want[400];
  const int n = std::snprintf(want, sizeof want, "%.*f", digits, value);
  if (len == 0) {
    const bool declinable = !std::isfinite(value) || digits > 17 || std::fabs(value) * std::pow(10.0, digits) >= 1.8e19;
    if (!declinable) {
      std::fprintf(stderr, "declined %.17g with %d decimals (wanted %s)\n", value, digits, want);
      std::abort();
    }
    return 0;
  }
  if (static_cast<int>(len) != n || std::memcmp(got, want, len) != 0) {
    std::fprintf(stderr, "%.17g with %d decimals: got %.*s, wanted %s\n", value, digits, static_cast<int>(len), got,
                 want);
    std::abort();
  }
  return 0;
}
