// The text pieces the JSON reader and its messages share: escapes and UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vandu::persist {

// The value of a hexadecimal digit, or -1.
int hex_value(int c);
// Appends code point `cp` (at most U+10FFFF) encoded in UTF-8.
void append_utf8(std::string& out, std::uint32_t cp);
// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s);
// Whether a JSON number's text is at least 10^1 in magnitude, judged from the position of
// its first significant digit and its exponent (saturating): an out-of-range number that
// is not is an underflow.
bool at_least_ten(std::string_view number);

}  // namespace vandu::persist
