// Between doubles and text, independent of the interpreter so that each can
// be checked on its own: the parsing behind `to_float`, and the fixed-point
// text that `DecimalResultProcessor` makes of a float. Each handles a common
// subset exactly as the interpreter does (float()'s value, the `%` operator's
// digits) and reports anything else as not handled, for the interpreter.
#pragma once

#include <cstddef>

namespace kx::floattext {

// Whitespace that float() strips from bytes and ASCII text.
constexpr bool is_ascii_space(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Parse [begin, end), already stripped of surrounding whitespace: an optional
// sign, then a decimal number (single underscores only between digits) or one
// of "inf", "infinity", "nan" in any case. Returns true with `out` set when the
// whole range is such a number and its value is a finite double, an infinity
// written as a word, or a NaN; false otherwise (including results that
// overflow or underflow: those are rare and left to the interpreter).
bool parse(const char* begin, const char* end, double& out) noexcept;

// The most characters fixed() writes.
inline constexpr std::size_t kFixedMax = 48;

// Writes `value` rounded to `digits` decimals, as "%.<digits>f" renders it
// (sign, integer digits, then a point and exactly `digits` digits unless
// `digits` is 0), into `out`, and returns the length; 0 when the value is not
// finite, `digits` is above 17, or the rounded value times 10**digits does
// not fit in 64 bits. The digits are the exact binary value's, rounded half
// to even: what the interpreter's correctly rounded conversion gives.
std::size_t fixed(double value, int digits, char (&out)[kFixedMax]) noexcept;

}  // namespace kx::floattext
