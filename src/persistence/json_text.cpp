#include "persistence/json_text.hpp"

#include <cmath>

#include "persistence/json_reader.hpp"
#include "persistence/json_writer.hpp"

namespace vandu::persist {

JsonError::JsonError(std::string message, std::uint64_t line, std::uint64_t column)
    : std::runtime_error("Error(" + debug_quote(message) + ", line: " + std::to_string(line) +
                         ", column: " + std::to_string(column) + ")"),
      message_(std::move(message)),
      line_(line),
      column_(column) {}

std::string debug_quote(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u{";
                    if (c >= 0x10) out += hex[c >> 4];
                    out += hex[c & 0xf];
                    out += '}';
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

std::string plain_decimal(double value) {
    std::string out;
    if (std::signbit(value)) out += '-';
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0) return out + "0";
    if (!std::isfinite(magnitude)) return out + (magnitude != magnitude ? "NaN" : "inf");
    char digits[24];
    int length = 0;
    const int n = shortest_digits(magnitude, digits, length);
    if (n >= length) {
        out.append(digits, static_cast<std::size_t>(length));
        out.append(static_cast<std::size_t>(n - length), '0');
    } else if (n > 0) {
        out.append(digits, static_cast<std::size_t>(n));
        out += '.';
        out.append(digits + n, static_cast<std::size_t>(length - n));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out.append(digits, static_cast<std::size_t>(length));
    }
    return out;
}

int hex_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else return false;
        if (n - i < len) return false;
        const auto c1 = static_cast<unsigned char>(s[i + 1]);
        if (c1 < lo || c1 > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            const auto ck = static_cast<unsigned char>(s[i + k]);
            if (ck < 0x80 || ck > 0xBF) return false;
        }
        i += len;
    }
    return true;
}

bool at_least_ten(std::string_view number) {
    std::int64_t position = 0;  // decimal exponent of the first significant digit, +1
    bool seen_point = false, found = false;
    std::size_t i = number[0] == '-' ? 1 : 0;
    std::int64_t integer_digits = 0, leading_fraction_zeros = 0;
    for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
        const char c = number[i];
        if (c == '.') {
            seen_point = true;
            continue;
        }
        if (!found) {
            if (c != '0') {
                found = true;
                if (!seen_point) integer_digits = 1;
            } else if (seen_point) {
                ++leading_fraction_zeros;
            }
        } else if (!seen_point && integer_digits < (std::int64_t{1} << 40)) {
            ++integer_digits;
        }
    }
    if (!found) return false;
    position = integer_digits > 0 ? integer_digits : -leading_fraction_zeros;
    std::int64_t exponent = 0;
    bool exponent_negative = false;
    if (i < number.size()) {
        ++i;
        if (number[i] == '+' || number[i] == '-') exponent_negative = number[i++] == '-';
        for (; i < number.size(); ++i)
            if (exponent < (std::int64_t{1} << 40)) exponent = exponent * 10 + (number[i] - '0');
    }
    return position + (exponent_negative ? -exponent : exponent) > 0;
}

}  // namespace vandu::persist
