// The flat little-endian binary image of a record: fixed-width integers, 64-bit sequence
// counts, one tag byte before an optional value, floats bit for bit.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "persistence/byte_io.hpp"
#include "persistence/record_fields.hpp"

namespace vandu::persist {

// what() is the diagnostic rendering of the error kind, e.g. InvalidTagEncoding(2).
class BincodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The rendering of an input/output error, e.g.
// Io(Os { code: 28, kind: StorageFull, message: "No space left on device" }).
std::string bincode_io_rendering(int code);

namespace bincode_detail {

template <class T> void put_le(ByteOutput& out, T value) {
    unsigned char bytes[sizeof(T)];
    using U = std::make_unsigned_t<T>;
    auto u = static_cast<U>(value);
    for (std::size_t k = 0; k < sizeof(T); ++k) {
        bytes[k] = static_cast<unsigned char>(u & 0xFF);
        if constexpr (sizeof(T) > 1) u = static_cast<U>(u >> 8);
    }
    out.put_bytes(bytes, sizeof(T));
}

}  // namespace bincode_detail

template <class T> void write_bincode_value(ByteOutput& out, const T& value) {
    using namespace bincode_detail;
    if constexpr (Record<T>) {
        auto visit = [&out](std::string_view, const auto& field) { write_bincode_value(out, field); };
        const_fields(value, visit);
    } else if constexpr (IsOptional<T>::value) {
        put_le<std::uint8_t>(out, value ? 1 : 0);
        if (value) write_bincode_value(out, *value);
    } else if constexpr (IsVector<T>::value) {
        put_le<std::uint64_t>(out, static_cast<std::uint64_t>(value.size()));
        for (const auto& element : value) write_bincode_value(out, element);
    } else if constexpr (IsPair<T>::value) {
        write_bincode_value(out, value[0]);
        write_bincode_value(out, value[1]);
    } else if constexpr (std::same_as<T, double>) {
        put_le<std::uint64_t>(out, std::bit_cast<std::uint64_t>(value));
    } else {
        static_assert(Integer<T>);
        put_le<T>(out, value);
    }
}

template <Record T> std::string to_bincode(const T& record) {
    ByteOutput out;
    write_bincode_value(out, record);
    return out.take();
}

// Reads one record from the start of the input and nothing after it. `out` is overwritten
// field by field; pass a fresh record. Throws BincodeError.
template <Record T> void read_bincode(ByteInput& in, T& out);

template <Record T> T from_bincode(std::string_view bytes) {
    ByteInput in(bytes);
    T out{};
    read_bincode(in, out);
    return out;
}

}  // namespace vandu::persist
