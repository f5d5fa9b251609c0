// Owned and borrowed references to host objects.
//
// Every reference the boundary creates lives in a Ref, so that any way out of a call
// (a return, a host error, an internal failure) drops it exactly once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vandu::py {

// A strong reference; released when it goes out of scope. Copies add a reference, so a
// Ref can travel inside an exception object (which must be copyable). Only ever used on
// the thread that holds the interpreter lock.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for example the interpreter, as a result).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A reference owned by someone else (an argument tuple, a dictionary, the caller) that
// stays valid for the current call. Naming it keeps "who releases this" visible.
class Borrowed {
public:
    Borrowed() noexcept = default;
    explicit Borrowed(PyObject* p) noexcept : p_(p) {}
    Borrowed(const Ref& owner) noexcept : p_(owner.get()) {}  // NOLINT: views an owned ref
    PyObject* get() const noexcept { return p_; }
    Ref to_owned() const noexcept { return Ref::borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is_none() const noexcept { return p_ == Py_None; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace vandu::py
