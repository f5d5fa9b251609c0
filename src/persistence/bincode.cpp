#include "persistence/bincode.hpp"

#include <algorithm>

#include "core/failure.hpp"

namespace vandu::persist {

std::string bincode_io_rendering(int code) {
    std::string message = os_error_description(code);
    std::string quoted = "\"";
    for (const char c : message) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return "Io(Os { code: " + std::to_string(code) + ", kind: " + std::string(os_error_kind(code)) +
           ", message: " + quoted + " })";
}

namespace {

// Storage reserved up front for a sequence, whatever its count says; more grows as
// elements are actually read, so a corrupt count ends at the end of the input.
constexpr std::uint64_t max_reservation = 4096;

class Decoder {
public:
    explicit Decoder(ByteInput& in) : in_(in) {}

    template <class T> void read(T& out) {
        if constexpr (Record<T>) {
            auto visit = [&](std::string_view, auto& field) { read(field); };
            fields(out, visit);
        } else if constexpr (IsOptional<T>::value) {
            const std::uint8_t tag = read_le<std::uint8_t>();
            if (tag == 0) {
                out.reset();
            } else if (tag == 1) {
                out.emplace();
                read(*out);
            } else {
                throw BincodeError("InvalidTagEncoding(" + std::to_string(tag) + ")");
            }
        } else if constexpr (IsVector<T>::value) {
            const std::uint64_t count = read_le<std::uint64_t>();
            out.clear();
            out.reserve(static_cast<std::size_t>(std::min(count, max_reservation)));
            // Every element takes at least one byte, so the input bounds this loop.
            for (std::uint64_t k = 0; k < count; ++k) {
                out.emplace_back();
                read(out.back());
            }
        } else if constexpr (IsPair<T>::value) {
            read(out[0]);
            read(out[1]);
        } else if constexpr (std::same_as<T, double>) {
            out = std::bit_cast<double>(read_le<std::uint64_t>());
        } else {
            out = read_le<T>();
        }
    }

private:
    ByteInput& in_;

    template <class T> T read_le() {
        unsigned char bytes[sizeof(T)];
        if (!in_.read_exact(bytes, sizeof bytes))
            throw BincodeError("Io(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })");
        using U = std::make_unsigned_t<T>;
        U u = 0;
        for (std::size_t k = sizeof(T); k-- > 0;) u = static_cast<U>((u << 8) | bytes[k]);
        return static_cast<T>(u);
    }
};

}  // namespace

template <Record T> void read_bincode(ByteInput& in, T& out) {
    try {
        Decoder(in).read(out);
    } catch (const IoError& e) {
        throw BincodeError(bincode_io_rendering(e.code));
    }
}

template void read_bincode(ByteInput&, Split&);
template void read_bincode(ByteInput&, RandomSplitRule&);
template void read_bincode(ByteInput&, TreeParameters&);
template void read_bincode(ByteInput&, DecisionTreeImpl&);
template void read_bincode(ByteInput&, GradientBoostingParameters&);
template void read_bincode(ByteInput&, GradientBoostingImpl&);
template void read_bincode(ByteInput&, AverageEnsemble&);
template void read_bincode(ByteInput&, DeepBoostingParameters&);
template void read_bincode(ByteInput&, DeepBoostingImpl&);

}  // namespace vandu::persist
