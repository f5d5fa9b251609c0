// Instances of the estimator classes, their borrow flag, and the method shells that
// every class shares.
//
// A class is described by a traits struct C with:
//   using State = ...;                       the record the instance owns
//   static constexpr const char* name;       "DecisionTree"
//   static PyTypeObject* type();             the ready type object
//   static void fit(State&, MatrixView, VectorView);
//   static Vector predict(const State&, MatrixView);
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/failure.hpp"
#include "core/matrix.hpp"
#include "persistence/model_file.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/numpy_bridge.hpp"
#include "python/py_ref.hpp"

namespace vandu::py {

// One host object: header, borrow flag, then the record, all in one allocation. The
// record is constructed in place after allocation and destroyed in the deallocator.
template <class State>
struct Instance {
    PyObject ob_base;
    std::int64_t borrow_flag;  // 0 free, n > 0 shared borrows, -1 borrowed exclusively
    State state;
};

template <class State>
Instance<State>& instance(PyObject* self) {
    return *reinterpret_cast<Instance<State>*>(self);
}

// Refused borrows fail at once: with the interpreter lock held they can only come from
// re-entry on this thread, which waiting would never resolve.
class SharedBorrow {
public:
    explicit SharedBorrow(std::int64_t& flag) : flag_(flag) {
        if (flag_ == -1) throw_error(borrow_error_type());
        ++flag_;
    }
    ~SharedBorrow() { --flag_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    std::int64_t& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(std::int64_t& flag) : flag_(flag) {
        if (flag_ != 0) throw_error(borrow_mut_error_type());
        flag_ = -1;
    }
    ~ExclusiveBorrow() { flag_ = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    std::int64_t& flag_;
};

// A new instance of C holding `record`.
template <class C>
Ref create_instance(typename C::State&& record) {
    using State = typename C::State;
    static_assert(std::is_nothrow_move_constructible_v<State>);
    static_assert(alignof(Instance<State>) <= 16, "host allocations are 16-byte aligned");
    PyTypeObject* type = C::type();
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    Ref object = checked(alloc(type, 0));
    Instance<State>& self = instance<State>(object.get());
    self.borrow_flag = 0;
    new (&self.state) State(std::move(record));
    return object;
}

template <class C>
void dealloc_instance(PyObject* self) {
    using State = typename C::State;
    instance<State>(self).state.~State();
    freefunc free = Py_TYPE(self)->tp_free ? Py_TYPE(self)->tp_free : PyObject_Free;
    free(self);
}

inline std::string operation_name(const char* class_name, const char* method) {
    return std::string(class_name) + "." + method + "()";
}

inline constexpr std::array<Parameter, 2> fit_parameters{{{"x", true}, {"y", true}}};
inline constexpr std::array<Parameter, 1> predict_parameters{{{"x", true}}};
inline constexpr std::array<Parameter, 2> file_parameters{{{"filename", true}, {"format", false}}};

[[noreturn]] inline void sample_count_mismatch(std::size_t rows, std::size_t len) {
    fail("assertion failed: `(left == right)`\n  left: `" + std::to_string(rows) +
         "`,\n right: `" + std::to_string(len) + "`");
}

template <class C>
PyObject* fit_shell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto& object = instance<typename C::State>(self);
        ExclusiveBorrow borrow(object.borrow_flag);
        auto [x_arg, y_arg] = bind_parameters(operation_name(C::name, "fit"), fit_parameters, args, kwargs);
        PyObject* x = check_array(x_arg.get(), 2);
        PyObject* y = check_array(y_arg.get(), 1);
        const FeatureView features(x);
        const TargetVector targets(y);
        if (features.view().cols != targets.view().size())
            sample_count_mismatch(features.view().cols, targets.view().size());
        C::fit(object.state, features.view(), targets.view());
        return Ref::borrow(Py_None);
    });
}

template <class C>
PyObject* predict_shell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto& object = instance<typename C::State>(self);
        SharedBorrow borrow(object.borrow_flag);
        auto [x_arg] = bind_parameters(operation_name(C::name, "predict"), predict_parameters, args, kwargs);
        PyObject* x = check_array(x_arg.get(), 2);
        Vector predictions;
        {
            const FeatureView features(x);
            predictions = C::predict(object.state, features.view());
        }
        return prediction_array(std::move(predictions));
    });
}

struct FileArguments {
    std::string filename;
    std::optional<std::string> format;
};

FileArguments file_arguments(const std::string& operation, PyObject* args, PyObject* kwargs);

template <class C>
PyObject* save_shell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto& object = instance<typename C::State>(self);
        SharedBorrow borrow(object.borrow_flag);
        FileArguments file = file_arguments(operation_name(C::name, "save"), args, kwargs);
        save_model(object.state, file.filename, file.format);
        return Ref::borrow(Py_None);
    });
}

template <class C>
PyObject* load_shell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        auto& object = instance<typename C::State>(self);
        ExclusiveBorrow borrow(object.borrow_flag);
        FileArguments file = file_arguments(operation_name(C::name, "load"), args, kwargs);
        load_model(object.state, file.filename, file.format);  // replaced only on success
        return Ref::borrow(Py_None);
    });
}

}  // namespace vandu::py
