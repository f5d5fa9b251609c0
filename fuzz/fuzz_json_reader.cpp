// libFuzzer target: any bytes read as each JSON model record. A read must end in the record
// or a JsonError; a record that reads must write back to a text that reads to the same record.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "persistence/bincode.hpp"
#include "persistence/json_reader.hpp"
#include "persistence/json_writer.hpp"

namespace {

template <class T> void check(std::string_view text) {
    using namespace vandu::persist;
    T record;
    try {
        record = from_json<T>(text);
    } catch (const JsonError&) {
        return;
    }
    const T again = from_json<T>(to_json(record));
    if (to_bincode(again) != to_bincode(record)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check<vandu::DecisionTreeImpl>(text);
    check<vandu::GradientBoostingImpl>(text);
    check<vandu::DeepBoostingImpl>(text);
    return 0;
}
