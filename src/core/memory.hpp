// Limits on what a fit may allocate, measured against this machine.
#pragma once

#include <cstdint>

namespace vandu {

// Bytes of physical memory (read once).
std::uint64_t physical_memory();

// Throws std::bad_alloc when count items of bytes_each would not fit in the machine's
// memory: refusing up front beats paging the machine out one allocation at a time.
void refuse_beyond_memory(std::uint64_t count, std::uint64_t bytes_each);

}  // namespace vandu
