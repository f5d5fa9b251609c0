// Limits on what a fit may allocate, measured against this machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace vandu {

// Bytes of physical memory (read once).
std::uint64_t physical_memory();

// Throws std::bad_alloc when count items of bytes_each would not fit in the machine's
// memory: refusing up front beats paging the machine out one allocation at a time.
void refuse_beyond_memory(std::uint64_t count, std::uint64_t bytes_each);

// Level buffers are written once per fit, mostly for the first time: large ones are
// asked for in huge pages, which spares the kernel thousands of page faults (a tenth of
// a single tree's fit time). Never zeroed: every entry is written before it is read.
void* allocate_pages(std::size_t bytes);

// An array whose entries are written before they are read: never zeroed, freed with free().
template <class T>
class UninitBuffer {
public:
    std::size_t size() const { return size_; }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    T& operator[](std::size_t i) { return data_.get()[i]; }
    void resize(std::size_t n) {
        if (n <= size_) return;
        data_.reset(static_cast<T*>(allocate_pages(n * sizeof(T))));
        size_ = n;
    }
    void release() {
        data_.reset();
        size_ = 0;
    }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t size_ = 0;
};

}  // namespace vandu
