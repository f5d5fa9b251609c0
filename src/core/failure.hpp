// Internal failures: the one way the learning core and persistence abandon a call.
#pragma once

#include <cstddef>
#include <source_location>
#include <stdexcept>
#include <string>

namespace vandu {

// An operation that cannot go on. The message is the text the host sees.
class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message)
        : std::runtime_error(message), message_(message) {}
    // The whole text; what() ends at the first NUL byte.
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// The system's description of an error code, e.g. "No space left on device".
std::string os_error_description(int code);
// The text an operating-system error is reported with: "<description> (os error <code>)".
std::string os_error_message(int code);

// An operating-system error met while opening a file; the boundary maps it to the
// host's error class by its kind.
class OsError : public std::exception {
public:
    explicit OsError(int code) : code_(code) {}
    int code() const noexcept { return code_; }
    const char* what() const noexcept override { return "operating-system error"; }

private:
    int code_;
};

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
// The fuzzing build (clang 14 over libstdc++ 12) has no std::source_location.
struct SourceLocation {
    const char* file = "";
    unsigned number = 0;
    static constexpr SourceLocation current(const char* f = __builtin_FILE(),
                                            unsigned n = __builtin_LINE()) noexcept {
        return {f, n};
    }
    constexpr const char* file_name() const noexcept { return file; }
    constexpr unsigned line() const noexcept { return number; }
};
#endif

// Reports the failure on standard error (thread, place, message), then throws it.
[[noreturn]] void fail(const std::string& message,
                       SourceLocation where = SourceLocation::current());

// Names this thread in failure reports ("host" until a pool worker renames itself).
void set_thread_label(std::string label);

namespace text {
inline constexpr const char* unwrap_none = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* unwrap_err = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr const char* stack_unsupported =
    "called `Result::unwrap()` on an `Err` value: ShapeError/Unsupported: unsupported operation";
}  // namespace text

// "index out of bounds: the len is <len> but the index is <index>"
std::string index_out_of_bounds(std::size_t len, std::size_t index);

}  // namespace vandu
