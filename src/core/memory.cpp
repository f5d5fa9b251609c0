#include "core/memory.hpp"

#include <unistd.h>

#include <new>

namespace vandu {

std::uint64_t physical_memory() {
    static const std::uint64_t bytes = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        return pages > 0 && page_size > 0
                   ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size)
                   : std::uint64_t{1} << 34;
    }();
    return bytes;
}

void refuse_beyond_memory(std::uint64_t count, std::uint64_t bytes_each) {
    if (bytes_each != 0 && count > physical_memory() / bytes_each) throw std::bad_alloc();
}

}  // namespace vandu
