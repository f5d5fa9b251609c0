#include "core/failure.hpp"

#include <cstdio>
#include <cstring>
#include <utility>

namespace vandu {

namespace {
thread_local std::string thread_label = "host";
}

void set_thread_label(std::string label) { thread_label = std::move(label); }

void fail(const std::string& message, SourceLocation where) {
    std::fprintf(stderr, "vandu: thread '%s' failed at %s:%u: ", thread_label.c_str(),
                 where.file_name(), static_cast<unsigned>(where.line()));
    std::fwrite(message.data(), 1, message.size(), stderr);  // NUL bytes included
    std::fputc('\n', stderr);
    throw InternalFailure(message);
}

std::string os_error_description(int code) {
    char buffer[256] = {};
    // The GNU variant returns the text, which may or may not be the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string("Unknown error");
}

std::string os_error_message(int code) {
    return os_error_description(code) + " (os error " + std::to_string(code) + ")";
}

std::string index_out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

}  // namespace vandu
