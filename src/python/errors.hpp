// The failure boundary between the module and the interpreter.
//
// Inside a call, a host error (binding, conversion, arrays, files, formats) travels as a
// HostError exception and every internal failure as vandu::InternalFailure; `guarded`
// turns whatever comes out of a call's body into the interpreter's pending exception.
// Nothing thrown in C++ ever reaches the interpreter.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "core/interrupt.hpp"
#include "python/py_ref.hpp"

namespace vandu::py {

// A host exception waiting to be raised: its class and either a ready value, a deferred
// argument (a string) or nothing (raised with no arguments).
class HostError : public std::exception {
public:
    HostError(Ref type, Ref value, Ref traceback = Ref())
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
    const char* what() const noexcept override { return "host error"; }
    PyObject* type() const noexcept { return type_.get(); }
    // Makes this the interpreter's pending exception.
    void restore() const noexcept;

private:
    Ref type_, value_, traceback_;
};

// The exception classes made for this module's own failures, created once on first use.
PyObject* panic_exception_type();
PyObject* borrow_error_type();
PyObject* borrow_mut_error_type();

// `type` raised with no arguments (its str() is empty).
[[noreturn]] void throw_error(PyObject* type);
// `type` raised with the one string argument `message`.
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

// Takes the pending host error after a host call reported failure. A PanicException that
// came back through host code is turned into a new internal failure with its message.
[[noreturn]] void throw_pending();

// A host call that must not fail did: print its error, then fail with
// "Python API call failed".
[[noreturn]] void api_call_failed();

// Prints the pending host error through the interpreter's printer without touching
// sys.last_*; clears it. Never exits the process.
void print_pending_error() noexcept;

// Returns `p` as an owned reference, or throws the pending host error when it is null.
inline Ref checked(PyObject* p) {
    if (!p) throw_pending();
    return Ref::steal(p);
}

// The host exception for an operating-system error code: class by the code's kind,
// one argument "<description> (os error <code>)".
HostError os_error(int code);

// Sets the interpreter's pending exception from the exception being handled.
void raise_current_exception() noexcept;

// Lets the host's signal handlers run while a call is under way on its calling thread.
// The first handler that raises stops the call; its exception is kept here until the
// call has unwound and is then raised in place of whatever the call came to.
class SignalWatch {
public:
    SignalWatch() noexcept : scope_(poll, this) {}
    // Makes the kept exception pending; false when no handler raised.
    bool raise_kept() const noexcept;

private:
    static bool poll(void* self) noexcept;

    InterruptScope scope_;
    std::optional<HostError> raised_;
};

// Runs one call's body; returns its result, or null with the host's exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    SignalWatch signals;
    try {
        Ref result = body();
        if (signals.raise_kept()) return nullptr;
        return result.release();
    } catch (...) {
        if (!signals.raise_kept()) raise_current_exception();
        return nullptr;
    }
}

}  // namespace vandu::py
