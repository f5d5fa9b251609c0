#include "persistence/json_writer.hpp"

#include <cmath>
#include <cstring>

namespace vandu::persist {

int shortest_digits(double magnitude, char* digits, int& length) {
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    const char* p = buf;  // d[.ddd]e(+|-)xx
    length = 0;
    for (; p != r.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[length++] = *p;
    while (length > 1 && digits[length - 1] == '0') --length;
    ++p;
    const bool negative = (p != r.ptr && *p == '-');
    if (p != r.ptr && (*p == '-' || *p == '+')) ++p;
    int exponent = 0;
    for (; p != r.ptr; ++p) exponent = exponent * 10 + (*p - '0');
    return (negative ? -exponent : exponent) + 1;
}

std::size_t format_json_double(char* buf, double value) {
    char* out = buf;
    auto put = [&out](const char* s, std::size_t n) {
        std::memcpy(out, s, n);
        out += n;
    };
    auto zeros = [&out](int n) {
        for (int i = 0; i < n; ++i) *out++ = '0';
    };
    if (!std::isfinite(value)) {
        put("null", 4);
        return 4;
    }
    if (std::signbit(value)) *out++ = '-';
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0) {
        put("0.0", 3);
        return static_cast<std::size_t>(out - buf);
    }
    char digits[24];
    int length = 0;
    const int n = shortest_digits(magnitude, digits, length);
    if (n >= length && n <= 16) {  // integral: 100.0
        put(digits, static_cast<std::size_t>(length));
        zeros(n - length);
        put(".0", 2);
    } else if (n >= 1 && n <= 16) {  // 12.25
        put(digits, static_cast<std::size_t>(n));
        *out++ = '.';
        put(digits + n, static_cast<std::size_t>(length - n));
    } else if (n >= -4 && n <= 0) {  // 0.00001
        put("0.", 2);
        zeros(-n);
        put(digits, static_cast<std::size_t>(length));
    } else {  // 1.5e-7
        *out++ = digits[0];
        if (length > 1) {
            *out++ = '.';
            put(digits + 1, static_cast<std::size_t>(length - 1));
        }
        *out++ = 'e';
        out = std::to_chars(out, buf + 32, n - 1).ptr;
    }
    return static_cast<std::size_t>(out - buf);
}

}  // namespace vandu::persist
