// A type object of ours, made ready on first use.
#pragma once

#include <atomic>
#include <string>

#include "core/failure.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace vandu::py {

// Static storage for one class, filled and made ready once, under the interpreter lock.
// Unlike a plain "claimed" flag, a type is handed out only once it is ready: a caller
// that finds it still being filled, or found broken, gets an internal failure instead
// of a half-made type.
struct LazyType {
    PyTypeObject type;
    std::atomic<int> state{unset};

    static constexpr int unset = 0;
    static constexpr int filling = 1;
    static constexpr int done = 2;
    static constexpr int broken = 3;

    // `fill` sets the name, sizes and slots; base object, no documentation and the
    // default flags are set here for every class.
    template <class Fill>
    PyTypeObject* ready(const char* class_name, Fill&& fill) {
        if (state.load(std::memory_order_acquire) == done) return &type;
        int expected = unset;
        if (state.compare_exchange_strong(expected, filling, std::memory_order_acq_rel)) {
            type.tp_base = &PyBaseObject_Type;
            type.tp_doc = nullptr;
            type.tp_flags = Py_TPFLAGS_DEFAULT;
            fill(type);
            if (PyType_Ready(&type) == 0) {
                state.store(done, std::memory_order_release);
                return &type;
            }
            state.store(broken, std::memory_order_release);
            print_pending_error();
        } else if (expected == done) {
            return &type;
        }
        fail(std::string("An error occurred while initializing class ") + class_name);
    }
};

}  // namespace vandu::py
