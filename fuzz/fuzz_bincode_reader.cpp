// libFuzzer target: any bytes read as each bincode model record. A read must end in the
// record or a BincodeError; a record that reads must encode back to the bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "persistence/bincode.hpp"

namespace {

template <class T> void check(std::string_view bytes) {
    using namespace vandu::persist;
    vandu::persist::ByteInput in(bytes);
    T record{};
    try {
        read_bincode(in, record);
    } catch (const BincodeError&) {
        return;
    }
    if (to_bincode(record) != bytes.substr(0, in.offset())) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check<vandu::DecisionTreeImpl>(bytes);
    check<vandu::GradientBoostingImpl>(bytes);
    check<vandu::DeepBoostingImpl>(bytes);
    return 0;
}
