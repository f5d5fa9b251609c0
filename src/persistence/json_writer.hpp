// The compact JSON text of a record: keys in field order, no white space, no final line break.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

#include "persistence/byte_io.hpp"
#include "persistence/record_fields.hpp"

namespace vandu::persist {

// Shortest round-trip digits: integral values up to 10^16 as "100.0", other values with
// 10^-5 <= |v| < 10^16 in plain decimals, the rest as "1.5e-7"; NaN and infinities "null".
// The shortest round-trip digits of magnitude > 0 into digits (at most 17, no leading or
// trailing zeros), their count into length; returns n with magnitude = 0.d1...dL x 10^n.
int shortest_digits(double magnitude, char* digits, int& length);

// Writes at most 32 bytes to buf and returns their count.
std::size_t format_json_double(char* buf, double value);

template <class T> void write_json_value(ByteOutput& out, const T& value);

template <Record T> void write_json_record(ByteOutput& out, const T& record) {
    out.put('{');
    bool first = true;
    auto visit = [&](std::string_view name, const auto& field) {
        if (!first) out.put(',');
        first = false;
        out.put('"');
        out.put(name);  // field names need no escaping
        out.put("\":");
        write_json_value(out, field);
    };
    const_fields(record, visit);
    out.put('}');
}

template <class T> void write_json_value(ByteOutput& out, const T& value) {
    if constexpr (Record<T>) {
        write_json_record(out, value);
    } else if constexpr (IsOptional<T>::value) {
        if (value) write_json_value(out, *value);
        else out.put("null");
    } else if constexpr (IsVector<T>::value || IsPair<T>::value) {
        out.put('[');
        bool first = true;
        for (const auto& element : value) {
            if (!first) out.put(',');
            first = false;
            write_json_value(out, element);
        }
        out.put(']');
    } else if constexpr (std::same_as<T, double>) {
        char buf[32];
        out.put(std::string_view(buf, format_json_double(buf, value)));
    } else {
        static_assert(Integer<T>);
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, value);
        out.put(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)));
    }
}

template <Record T> std::string to_json(const T& record) {
    ByteOutput out;
    write_json_value(out, record);
    return out.take();
}

}  // namespace vandu::persist
