// Text-to-double parsing for `to_float`, independent of the interpreter so it
// can be fuzzed on its own. It accepts a subset of what Python's float()
// accepts and, on that subset, gives float()'s exact value; anything else is
// reported as not handled and left to the interpreter.
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

}  // namespace kx::floattext
