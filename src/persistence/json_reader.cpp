#include "persistence/json_reader.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "persistence/json_text.hpp"

namespace vandu::persist {

namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

struct Number {
    enum Kind { unsigned_integer, negative_integer, floating } kind;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0.0;
};

class Parser {
public:
    explicit Parser(ByteInput& in) : in_(in) {}

    template <Record T> void run(T& out) {
        try {
            read(out);
            if (skip_ws() >= 0) peek_error("trailing characters");
        } catch (const IoError& e) {
            error_at(in_.offset(), os_error_message(e.code));
        }
    }

private:
    ByteInput& in_;
    int remaining_depth_ = 128;
    std::string scratch_;  // the last string read
    std::string number_;   // the text of the last number read

    [[noreturn]] void error_at(std::uint64_t p, std::string message) {
        std::uint64_t line = 0, column = 0;
        in_.line_column(p, line, column);
        throw JsonError(std::move(message), line, column);
    }
    // At the byte that would be read next (the last byte at the end of input).
    [[noreturn]] void peek_error(std::string message) {
        const bool at_end = in_.peek() < 0;
        error_at(in_.offset() + (at_end ? 0 : 1), std::move(message));
    }
    // At the byte read last.
    [[noreturn]] void error_here(std::string message) { error_at(in_.offset(), std::move(message)); }

    int skip_ws() {
        for (;;) {
            const int c = in_.peek();
            if (c == ' ' || c == '\n' || c == '\t' || c == '\r') in_.bump();
            else return c;
        }
    }

    void enter() {
        if (--remaining_depth_ == 0) peek_error("recursion limit exceeded");
    }
    void leave() { ++remaining_depth_; }

    void parse_ident(const char* rest) {
        for (; *rest; ++rest) {
            const int c = in_.next();
            if (c < 0) error_here("EOF while parsing a value");
            if (c != *rest) error_here("expected ident");
        }
    }

    // --- numbers ---------------------------------------------------------------------

    void take_digit(int c) {
        number_ += static_cast<char>(c);
        in_.bump();
    }
    [[noreturn]] void invalid_number() {
        if (in_.peek() < 0) error_here("invalid number");
        peek_error("invalid number");
    }

    // At '-' or a digit. With convert false only the grammar is checked.
    Number parse_number(bool convert) {
        number_.clear();
        bool negative = false;
        if (in_.peek() == '-') {
            negative = true;
            take_digit('-');
        }
        int c = in_.peek();
        if (!is_digit(c)) invalid_number();
        std::uint64_t value = 0;
        bool overflow = false;
        if (c == '0') {
            take_digit(c);
            c = in_.peek();
            if (is_digit(c)) peek_error("invalid number");
        } else {
            while (is_digit(c)) {
                const auto d = static_cast<std::uint64_t>(c - '0');
                if (!overflow) {
                    if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) overflow = true;
                    else value = value * 10 + d;
                }
                take_digit(c);
                c = in_.peek();
            }
        }
        bool is_float = overflow;
        if (c == '.') {
            take_digit(c);
            c = in_.peek();
            if (!is_digit(c)) invalid_number();
            while (is_digit(c)) {
                take_digit(c);
                c = in_.peek();
            }
            is_float = true;
        }
        if (c == 'e' || c == 'E') {
            take_digit(c);
            c = in_.peek();
            if (c == '+' || c == '-') {
                take_digit(c);
                c = in_.peek();
            }
            if (!is_digit(c)) invalid_number();
            while (is_digit(c)) {
                take_digit(c);
                c = in_.peek();
            }
            is_float = true;
        }
        Number n{Number::floating};
        if (!convert) return n;
        if (!is_float) {
            if (!negative) {
                n.kind = Number::unsigned_integer;
                n.u = value;
                return n;
            }
            // "-0" and negatives below the signed range are floating point.
            if (value != 0 && value <= (std::uint64_t{1} << 63)) {
                n.kind = Number::negative_integer;
                n.i = static_cast<std::int64_t>(0 - value);
                return n;
            }
        }
        n.f = to_double();
        return n;
    }

    // Correctly rounded; an underflow gives zero, only an overflow is refused.
    double to_double() {
        const char* first = number_.data();
        const char* last = first + number_.size();
        double d = 0.0;
        const auto r = std::from_chars(first, last, d);
        if (r.ec == std::errc()) return d;
        if (r.ec == std::errc::result_out_of_range && !at_least_ten(number_)) return number_[0] == '-' ? -0.0 : 0.0;
        error_here("number out of range");
    }

    // --- strings ---------------------------------------------------------------------

    std::uint32_t hex4() {
        std::uint32_t n = 0;
        for (int k = 0; k < 4; ++k) {
            const int c = in_.next();
            if (c < 0) error_here("EOF while parsing a string");
            const int h = hex_value(c);
            if (h < 0) error_here("invalid escape");
            n = (n << 4) | static_cast<std::uint32_t>(h);
        }
        return n;
    }

    void parse_unicode_escape(std::string& out) {
        const std::uint32_t n1 = hex4();
        if (n1 >= 0xDC00 && n1 <= 0xDFFF) error_here("lone leading surrogate in hex escape");
        if (n1 < 0xD800 || n1 > 0xDBFF) {
            append_utf8(out, n1);
            return;
        }
        for (const char expected : {'\\', 'u'}) {
            const int c = in_.next();
            if (c < 0) error_here("EOF while parsing a string");
            if (c != expected) error_here("unexpected end of hex escape");
        }
        const std::uint32_t n2 = hex4();
        if (n2 < 0xDC00 || n2 > 0xDFFF) error_here("lone leading surrogate in hex escape");
        append_utf8(out, (((n1 - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
    }

    // After the opening quote.
    void parse_string(std::string& out) {
        out.clear();
        for (;;) {
            const char* p = in_.cur();
            const char* q = p;
            const char* e = in_.end();
            while (q != e && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20) ++q;
            out.append(p, q);
            in_.advance_to(q);
            const int c = in_.next();
            if (c < 0) error_here("EOF while parsing a string");
            if (c == '"') break;
            if (c != '\\') {
                if (c < 0x20) error_here("control character (\\u0000-\\u001F) found while parsing a string");
                out += static_cast<char>(c);  // only reached when the window ended mid-run
                continue;
            }
            const int esc = in_.next();
            switch (esc) {
                case -1: error_here("EOF while parsing a string");
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': parse_unicode_escape(out); break;
                default: error_here("invalid escape");
            }
        }
        if (!valid_utf8(out)) error_here("invalid unicode code point");
    }

    // --- type mismatches -------------------------------------------------------------

    static std::string describe(const Number& n) {
        switch (n.kind) {
            case Number::unsigned_integer: return "integer `" + std::to_string(n.u) + "`";
            case Number::negative_integer: return "integer `" + std::to_string(n.i) + "`";
            default: return "floating point `" + plain_decimal(n.f) + "`";
        }
    }

    // At a byte that starts something other than what was expected (not the end).
    [[noreturn]] void invalid_type(std::string_view expected) {
        const int c = in_.peek();
        std::string found;
        if (c == 'n') {
            in_.bump();
            parse_ident("ull");
            found = "null";
        } else if (c == 't') {
            in_.bump();
            parse_ident("rue");
            found = "boolean `true`";
        } else if (c == 'f') {
            in_.bump();
            parse_ident("alse");
            found = "boolean `false`";
        } else if (c == '-' || is_digit(c)) {
            found = describe(parse_number(true));
        } else if (c == '"') {
            in_.bump();
            parse_string(scratch_);
            found = "string " + debug_quote(scratch_);
        } else if (c == '[') {
            in_.bump();
            found = "sequence";
        } else if (c == '{') {
            in_.bump();
            found = "map";
        } else {
            peek_error("expected value");
        }
        error_here("invalid type: " + found + ", expected " + std::string(expected));
    }

    // --- arrays and objects ----------------------------------------------------------

    static constexpr int closed = -2;

    // Between the members of an array or an object: the first byte of the next member, or
    // `closed` when the closing bracket comes instead.
    int next_member(bool& first, int close, const char* eof_message, const char* separator_message) {
        int c = skip_ws();
        if (c == close) return closed;
        if (c == ',' && !first) {
            in_.bump();
            c = skip_ws();
        } else if (c < 0) {
            peek_error(eof_message);
        } else if (!first) {
            peek_error(separator_message);
        }
        first = false;
        if (c == close) peek_error("trailing comma");
        if (c < 0) peek_error("EOF while parsing a value");
        return c;
    }

    // Inside an array: whether another element follows (the next byte then starts it).
    bool has_next_element(bool& first) {
        return next_member(first, ']', "EOF while parsing a list", "expected `,` or `]`") != closed;
    }

    // Where an array of fixed length must end.
    void end_fixed_array() {
        int c = skip_ws();
        if (c == ']') {
            in_.bump();
            return;
        }
        if (c == ',') {
            in_.bump();
            c = skip_ws();
            if (c == ']') peek_error("trailing comma");
            peek_error("trailing characters");
        }
        if (c < 0) peek_error("EOF while parsing a list");
        peek_error("trailing characters");
    }

    // Inside an object: whether another member follows; if so its key is in scratch_.
    bool next_key(bool& first) {
        const int c = next_member(first, '}', "EOF while parsing an object", "expected `,` or `}`");
        if (c == closed) return false;
        if (c != '"') peek_error("key must be a string");
        in_.bump();
        parse_string(scratch_);
        return true;
    }

    void parse_colon() {
        const int c = skip_ws();
        if (c == ':') {
            in_.bump();
            return;
        }
        if (c < 0) peek_error("EOF while parsing an object");
        peek_error("expected `:`");
    }

    void skip_value() {
        const int c = skip_ws();
        switch (c) {
            case -1: peek_error("EOF while parsing a value");
            case 'n': in_.bump(); parse_ident("ull"); return;
            case 't': in_.bump(); parse_ident("rue"); return;
            case 'f': in_.bump(); parse_ident("alse"); return;
            case '"': in_.bump(); parse_string(scratch_); return;
            case '[': {
                enter();
                in_.bump();
                bool first = true;
                while (has_next_element(first)) skip_value();
                in_.bump();
                leave();
                return;
            }
            case '{': {
                enter();
                in_.bump();
                bool first = true;
                while (next_key(first)) {
                    parse_colon();
                    skip_value();
                }
                in_.bump();
                leave();
                return;
            }
            default:
                if (c == '-' || is_digit(c)) {
                    parse_number(false);
                    return;
                }
                peek_error("expected value");
        }
    }

    // --- typed values ----------------------------------------------------------------

    template <class T> void read(T& out) {
        if constexpr (Record<T>) {
            read_record(out);
        } else if constexpr (IsOptional<T>::value) {
            if (skip_ws() == 'n') {
                in_.bump();
                parse_ident("ull");
                out.reset();
            } else {
                out.emplace();
                read(*out);
            }
        } else if constexpr (IsVector<T>::value) {
            read_sequence(out);
        } else if constexpr (IsPair<T>::value) {
            read_pair(out);
        } else if constexpr (std::same_as<T, double>) {
            read_double(out);
        } else {
            read_integer(out);
        }
    }

    template <class T> void read_integer(T& out) {
        const int c = skip_ws();
        if (c < 0) peek_error("EOF while parsing a value");
        if (c != '-' && !is_digit(c)) invalid_type(ScalarName<T>::value);
        const Number n = parse_number(true);
        const std::string expected(ScalarName<T>::value);
        switch (n.kind) {
            case Number::unsigned_integer:
                if (n.u > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
                    error_here("invalid value: integer `" + std::to_string(n.u) + "`, expected " + expected);
                out = static_cast<T>(n.u);
                return;
            case Number::negative_integer:
                if constexpr (std::is_signed_v<T>) {
                    out = static_cast<T>(n.i);
                    return;
                }
                error_here("invalid value: integer `" + std::to_string(n.i) + "`, expected " + expected);
            default:
                error_here("invalid type: floating point `" + plain_decimal(n.f) + "`, expected " + expected);
        }
    }

    void read_double(double& out) {
        const int c = skip_ws();
        if (c < 0) peek_error("EOF while parsing a value");
        if (c != '-' && !is_digit(c)) invalid_type("f64");
        const Number n = parse_number(true);
        switch (n.kind) {
            case Number::unsigned_integer: out = static_cast<double>(n.u); return;
            case Number::negative_integer: out = static_cast<double>(n.i); return;
            default: out = n.f;
        }
    }

    template <class T> void read_sequence(std::vector<T>& out) {
        const int c = skip_ws();
        if (c < 0) peek_error("EOF while parsing a value");
        if (c != '[') invalid_type("a sequence");
        enter();
        in_.bump();
        out.clear();
        bool first = true;
        // Grows only with elements actually read, so the text bounds the allocation.
        while (has_next_element(first)) {
            out.emplace_back();
            read(out.back());
        }
        in_.bump();
        leave();
    }

    template <class T> void read_pair(std::array<T, 2>& out) {
        const int c = skip_ws();
        if (c < 0) peek_error("EOF while parsing a value");
        if (c != '[') invalid_type("an array of length 2");
        enter();
        in_.bump();
        bool first = true;
        for (std::size_t k = 0; k < 2; ++k) {
            if (!has_next_element(first))
                peek_error("invalid length " + std::to_string(k) + ", expected an array of length 2");
            read(out[k]);
        }
        end_fixed_array();
        leave();
    }

    template <Record T> void read_record(T& out) {
        const int c = skip_ws();
        if (c < 0) peek_error("EOF while parsing a value");
        if (c == '{') {
            enter();
            in_.bump();
            read_record_members(out);
            leave();
        } else if (c == '[') {
            enter();
            in_.bump();
            read_record_elements(out);
            leave();
        } else {
            invalid_type("struct " + std::string(RecordName<T>::value));
        }
    }

    template <Record T> void read_record_members(T& out) {
        std::uint32_t seen = 0;
        bool first = true;
        while (next_key(first)) {
            std::uint32_t index = 0;
            bool matched = false;
            auto member = [&](std::string_view name, auto& field) {
                if (!matched && name == scratch_) {
                    matched = true;
                    if (seen & (1u << index)) error_here("duplicate field `" + std::string(name) + "`");
                    parse_colon();
                    read(field);
                    seen |= 1u << index;
                }
                ++index;
            };
            fields(out, member);
            if (!matched) {
                parse_colon();
                skip_value();
            }
        }
        in_.bump();  // '}'
        std::uint32_t index = 0;
        auto missing = [&](std::string_view name, auto& field) {
            if (!(seen & (1u << index))) {
                if constexpr (IsOptional<std::remove_cvref_t<decltype(field)>>::value)
                    field.reset();  // an absent optional field means "none"
                else
                    error_here("missing field `" + std::string(name) + "`");
            }
            ++index;
        };
        fields(out, missing);
    }

    template <Record T> void read_record_elements(T& out) {
        bool first = true;
        std::size_t index = 0;
        auto element = [&](std::string_view, auto& field) {
            if (!has_next_element(first)) {
                const std::size_t count = field_count<T>();
                peek_error("invalid length " + std::to_string(index) + ", expected struct " +
                           std::string(RecordName<T>::value) + " with " + std::to_string(count) +
                           (count == 1 ? " element" : " elements"));
            }
            read(field);
            ++index;
        };
        fields(out, element);
        end_fixed_array();
    }
};

}  // namespace

template <Record T> void read_json(ByteInput& in, T& out) {
    Parser parser(in);
    parser.run(out);
}

template void read_json(ByteInput&, Split&);
template void read_json(ByteInput&, RandomSplitRule&);
template void read_json(ByteInput&, TreeParameters&);
template void read_json(ByteInput&, DecisionTreeImpl&);
template void read_json(ByteInput&, GradientBoostingParameters&);
template void read_json(ByteInput&, GradientBoostingImpl&);
template void read_json(ByteInput&, AverageEnsemble&);
template void read_json(ByteInput&, DeepBoostingParameters&);
template void read_json(ByteInput&, DeepBoostingImpl&);

}  // namespace vandu::persist
