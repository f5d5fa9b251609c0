#include "persistence/byte_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace vandu::persist {

std::string_view os_error_kind(int code) {
    switch (code) {
        case ENOENT: return "NotFound";
        case EACCES:
        case EPERM: return "PermissionDenied";
        case EEXIST: return "AlreadyExists";
        case EINTR: return "Interrupted";
        case EPIPE: return "BrokenPipe";
        case ENOSPC: return "StorageFull";
        case EDQUOT: return "FilesystemQuotaExceeded";
        case EFBIG: return "FileTooLarge";
        case EROFS: return "ReadOnlyFilesystem";
        case EISDIR: return "IsADirectory";
        case ENOTDIR: return "NotADirectory";
        case EINVAL: return "InvalidInput";
        case EAGAIN: return "WouldBlock";
        case ENOMEM: return "OutOfMemory";
        default: return "Uncategorized";
    }
}

ByteInput::ByteInput(std::string_view memory)
    : begin_(memory.data()), cur_(memory.data()), end_(memory.data() + memory.size()) {}

ByteInput::ByteInput(int fd) : fd_(fd), buffer_(1 << 16) {
    begin_ = cur_ = end_ = buffer_.data();
}

bool ByteInput::refill() {
    if (fd_ < 0) return false;
    // Everything in the old window was consumed: fold its line breaks into the totals.
    for (const char* p = begin_; p != end_;) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end_ - p));
        if (!nl) break;
        p = static_cast<const char*>(nl) + 1;
        ++lines_before_;
        line_start_ = window_base_ + static_cast<std::uint64_t>(p - begin_);
    }
    window_base_ += static_cast<std::uint64_t>(end_ - begin_);
    begin_ = cur_ = end_ = buffer_.data();
    for (;;) {
        const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
        if (got > 0) {
            end_ = begin_ + got;
            return true;
        }
        if (got == 0) return false;
        if (errno != EINTR) throw IoError{errno};
    }
}

bool ByteInput::read_exact(void* out, std::size_t n) {
    auto* dst = static_cast<char*>(out);
    while (n > 0) {
        if (cur_ == end_ && !refill()) return false;
        const std::size_t take = std::min(n, static_cast<std::size_t>(end_ - cur_));
        std::memcpy(dst, cur_, take);
        cur_ += take;
        dst += take;
        n -= take;
    }
    return true;
}

void ByteInput::line_column(std::uint64_t p, std::uint64_t& line, std::uint64_t& column) const {
    line = lines_before_ + 1;
    std::uint64_t start = line_start_;
    const std::uint64_t window_end = window_base_ + static_cast<std::uint64_t>(end_ - begin_);
    p = std::min(std::max(p, window_base_), window_end);
    const char* stop = begin_ + (p - window_base_);
    for (const char* q = begin_; q != stop; ++q) {
        if (*q == '\n') {
            ++line;
            start = window_base_ + static_cast<std::uint64_t>(q - begin_) + 1;
        }
    }
    column = p - start;
}

void ByteOutput::flush() {
    if (fd_ < 0) return;
    const char* p = buffer_.data();
    std::size_t left = buffer_.size();
    while (left > 0) {
        const ssize_t put = ::write(fd_, p, left);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw IoError{errno};
        }
        if (put == 0) throw IoError{EIO};
        p += put;
        left -= static_cast<std::size_t>(put);
    }
    buffer_.clear();
}

}  // namespace vandu::persist
