// A strict reader of the JSON form of a record: keys in any order, unknown keys skipped,
// the array form of records, fixed pairs, range-checked integers and nesting limited to
// 127 levels.
//
// Positions in messages: the line counts from 1; the column counts bytes from the start of
// that line up to and including the byte at which the error was detected (so it is that
// byte's 1-based column). An error found at the end of the input points at the last byte
// (column 0 on an empty line or input); an error about a whole value (its type, range, a
// missing field) points at the value's last byte, a missing field at the closing brace.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "persistence/byte_io.hpp"
#include "persistence/record_fields.hpp"

namespace vandu::persist {

// what() is the diagnostic rendering: Error("<message>", line: L, column: C).
class JsonError : public std::runtime_error {
public:
    JsonError(std::string message, std::uint64_t line, std::uint64_t column);
    const std::string& message() const { return message_; }
    std::uint64_t line() const { return line_; }
    std::uint64_t column() const { return column_; }

private:
    std::string message_;
    std::uint64_t line_;
    std::uint64_t column_;
};

// A text in double quotes with quotes, backslashes and control characters escaped.
std::string debug_quote(std::string_view text);
// A double in plain decimal notation with the fewest digits that identify it ("3", "0.25",
// "-0", "100000000000000000000").
std::string plain_decimal(double value);

// Reads one record from the input, which must hold nothing else but white space.
// `out` is overwritten field by field; pass a fresh record. Throws JsonError.
template <Record T> void read_json(ByteInput& in, T& out);

template <Record T> T from_json(std::string_view text) {
    ByteInput in(text);
    T out{};
    read_json(in, out);
    return out;
}

}  // namespace vandu::persist
