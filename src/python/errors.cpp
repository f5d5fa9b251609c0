#include "python/errors.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/failure.hpp"
#include "persistence/model_file.hpp"

namespace vandu::py {

namespace {

// One lazily created exception class. Created under the interpreter lock; a failed
// creation is retried at the next use rather than leaving a null class behind.
class RuntimeClass {
public:
    RuntimeClass(const char* name, PyObject* const* base) : name_(name), base_(base) {}

    PyObject* get() {
        if (PyObject* existing = type_.load(std::memory_order_acquire)) return existing;
        PyObject* created = PyErr_NewException(name_, *base_, nullptr);
        if (!created) fail(text::unwrap_none);
        PyObject* expected = nullptr;
        if (!type_.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
            Py_DECREF(created);  // another creation won; keep the first
            return expected;
        }
        return created;
    }
    // The class, when it already exists; never creates it.
    PyObject* peek() const { return type_.load(std::memory_order_acquire); }

private:
    const char* name_;
    PyObject* const* base_;
    std::atomic<PyObject*> type_{nullptr};
};

RuntimeClass panic_class{"pyo3_runtime.PanicException", &PyExc_BaseException};
RuntimeClass borrow_class{"pyo3_runtime.PyBorrowError", &PyExc_RuntimeError};
RuntimeClass borrow_mut_class{"pyo3_runtime.PyBorrowMutError", &PyExc_RuntimeError};

// Failure texts come from many places (file contents among them): never lose the
// exception over a byte sequence that is not UTF-8.
PyObject* message_string(std::string_view message) noexcept {
    return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                "replace");
}

void raise_with_message(PyObject* type, std::string_view message) noexcept {
    PyObject* text = message_string(message);
    if (!text) return;  // the decoder's own error (memory) stays pending
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise_panic(std::string_view message) noexcept {
    PyObject* type = nullptr;
    try {
        type = panic_exception_type();
    } catch (...) {
        // The class could not be made; whatever the host reported stays pending.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "internal failure");
        return;
    }
    raise_with_message(type, message);
}

struct Fetched {
    Ref type, value, traceback;
};

// Takes (and clears) the pending exception, normalised to an instance.
Fetched fetch_pending() noexcept {
    Fetched f;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc) {
        f.type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
        f.traceback = Ref::steal(PyException_GetTraceback(exc));
        f.value = Ref::steal(exc);
    }
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type) PyErr_NormalizeException(&type, &value, &traceback);
    f.type = Ref::steal(type);
    f.value = Ref::steal(value);
    f.traceback = Ref::steal(traceback);
#endif
    return f;
}

// The message a PanicException carries: its value when that is a string, or the only
// argument of the instance when that is a string.
std::string panic_message(PyObject* value) {
    static constexpr const char* fallback = "Unwrapped panic from Python code";
    if (!value) return fallback;
    Ref text;
    if (PyUnicode_Check(value)) {
        text = Ref::borrow(value);
    } else if (PyExceptionInstance_Check(value)) {
        Ref args = Ref::steal(PyObject_GetAttrString(value, "args"));
        if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
            PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0)))
            text = Ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
    }
    if (!text) {
        PyErr_Clear();
        return fallback;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

// The host class for an errno value, by its kind. Permission and existence errors are
// plain OSError on purpose.
PyObject* os_error_class(int code) {
    switch (code) {
        case ENOENT: return PyExc_FileNotFoundError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case EPIPE: return PyExc_BrokenPipeError;
        case EAGAIN: return PyExc_BlockingIOError;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK: return PyExc_BlockingIOError;
#endif
        case ETIMEDOUT: return PyExc_TimeoutError;
        case EINTR: return PyExc_InterruptedError;
        default: return PyExc_OSError;
    }
}

}  // namespace

void HostError::restore() const noexcept {
    PyObject* type = type_.get();
    PyObject* value = value_.get();
    PyObject* traceback = traceback_.get();
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
}

bool SignalWatch::poll(void* self) noexcept {
    if (PyErr_CheckSignals() == 0) return false;
    Fetched f = fetch_pending();
    if (!f.type) f.type = Ref::borrow(PyExc_SystemError);
    static_cast<SignalWatch*>(self)->raised_.emplace(std::move(f.type), std::move(f.value),
                                                     std::move(f.traceback));
    return true;
}

bool SignalWatch::raise_kept() const noexcept {
    if (!raised_) return false;
    raised_->restore();
    return true;
}

PyObject* panic_exception_type() { return panic_class.get(); }
PyObject* borrow_error_type() { return borrow_class.get(); }
PyObject* borrow_mut_error_type() { return borrow_mut_class.get(); }

void throw_error(PyObject* type) { throw HostError(Ref::borrow(type), Ref()); }

void throw_error(PyObject* type, std::string_view message) {
    Ref text = checked(message_string(message));
    throw HostError(Ref::borrow(type), std::move(text));
}

void throw_pending() {
    Fetched f = fetch_pending();
    if (!f.type) throw HostError(Ref::borrow(PyExc_SystemError), Ref());
    PyObject* panic = panic_class.peek();
    if (panic && f.type.get() == panic) {
        // A failure of ours that went through host code (a callback) and came back.
        std::fputs("vandu: a failure from this module came back through Python code\n"
                   "Python stack trace below:\n",
                   stderr);
        std::string message = panic_message(f.value.get());
        Fetched copy = f;
        PyErr_Restore(copy.type.release(), copy.value.release(), copy.traceback.release());
        print_pending_error();
        fail(message);
    }
    throw HostError(std::move(f.type), std::move(f.value), std::move(f.traceback));
}

void print_pending_error() noexcept {
    if (!PyErr_Occurred()) return;
    // Printing SystemExit would end the process.
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
        PyErr_Clear();
        return;
    }
    PyErr_PrintEx(0);
}

void api_call_failed() {
    if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
            PyErr_Clear();
        } else {
            PyErr_PrintEx(1);
        }
    }
    fail("Python API call failed");
}

HostError os_error(int code) {
    Ref text = checked(message_string(os_error_message(code)));
    return HostError(Ref::borrow(os_error_class(code)), std::move(text));
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const HostError& e) {
        e.restore();
    } catch (const InternalFailure& e) {
        raise_panic(e.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a size no container can hold
    } catch (const OsError& e) {
        try {
            os_error(e.code()).restore();
        } catch (...) {
            if (!PyErr_Occurred()) PyErr_NoMemory();
        }
    } catch (const UnknownFormat& e) {
        raise_with_message(PyExc_ValueError, e.message());
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
}

}  // namespace vandu::py
