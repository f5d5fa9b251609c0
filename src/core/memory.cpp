#include "core/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

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

void* allocate_pages(std::size_t bytes) {
    constexpr std::size_t huge = std::size_t{2} << 20;
    if (bytes >= 2 * huge) {
        const std::size_t rounded = (bytes + huge - 1) / huge * huge;
        if (void* p = std::aligned_alloc(huge, rounded)) {
#if defined(MADV_HUGEPAGE)
            // Only advice: failing changes nothing. Not the partial page at the end: its
            // first touch would make the whole 2 MiB resident, up to 2 MiB never asked for.
            madvise(p, bytes / huge * huge, MADV_HUGEPAGE);
#endif
            return p;
        }
    } else if (void* p = std::malloc(bytes ? bytes : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

}  // namespace vandu
