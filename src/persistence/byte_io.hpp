// Buffered byte input and output for the codecs: a file descriptor or memory behind a
// 64 KiB window, with the operating-system error of a failed read or write carried as IoError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vandu::persist {

// A read or write that the operating system refused.
struct IoError {
    int code;
};

// A short name of the error's kind, e.g. "StorageFull".
std::string_view os_error_kind(int code);

// Reads sequentially; the window [cur, end) holds bytes not consumed yet. Nothing is read
// ahead beyond the window, so a reader that stops early leaves the rest of a file unread.
class ByteInput {
public:
    explicit ByteInput(std::string_view memory);  // the whole input, no refills
    explicit ByteInput(int fd);                     // borrowed descriptor, read in chunks

    // The next byte, or -1 at the end of input. Throws IoError on a failed read.
    int peek() {
        if (cur_ == end_ && !refill()) return -1;
        return static_cast<unsigned char>(*cur_);
    }
    void bump() { ++cur_; }
    int next() {
        const int c = peek();
        if (c >= 0) ++cur_;
        return c;
    }
    // Copies exactly n bytes; false when the input ends first.
    bool read_exact(void* out, std::size_t n);

    const char* cur() const { return cur_; }
    const char* end() const { return end_; }
    void advance_to(const char* p) { cur_ = p; }

    // Absolute offset of the next unread byte.
    std::uint64_t offset() const { return window_base_ + static_cast<std::uint64_t>(cur_ - begin_); }
    // Line (from 1) and column (bytes since the line's start) of absolute offset p, which
    // must lie in the current window or at its end.
    void line_column(std::uint64_t p, std::uint64_t& line, std::uint64_t& column) const;

private:
    bool refill();

    int fd_ = -1;
    std::vector<char> buffer_;
    const char* begin_ = nullptr;
    const char* cur_ = nullptr;
    const char* end_ = nullptr;
    std::uint64_t window_base_ = 0;   // absolute offset of begin_
    std::uint64_t lines_before_ = 0;  // line breaks before the window
    std::uint64_t line_start_ = 0;    // absolute offset just after the last of them
};

// Collects bytes and hands them to a descriptor in 64 KiB chunks, or keeps them in memory.
class ByteOutput {
public:
    ByteOutput() = default;            // memory
    explicit ByteOutput(int fd) : fd_(fd) { buffer_.reserve(chunk + 64); }

    void put(char c) {
        buffer_.push_back(c);
        if (buffer_.size() >= chunk) drain();
    }
    void put(std::string_view s) {
        buffer_.append(s);
        if (buffer_.size() >= chunk) drain();
    }
    void put_bytes(const void* p, std::size_t n) { put(std::string_view(static_cast<const char*>(p), n)); }
    // Writes everything buffered (descriptor mode); throws IoError.
    void flush();
    // Memory mode: the bytes written so far.
    std::string take() { return std::move(buffer_); }

private:
    static constexpr std::size_t chunk = 1 << 16;
    void drain() {
        if (fd_ >= 0) flush();
    }
    int fd_ = -1;
    std::string buffer_;
};

}  // namespace vandu::persist
