#include "python/arguments.hpp"

#include <climits>

#include "python/errors.hpp"

namespace vandu::py {

namespace {

[[noreturn]] void binding_error(std::string_view operation, std::string_view rest) {
    std::string message(operation);
    message += ' ';
    message += rest;
    throw_error(PyExc_TypeError, message);
}

std::string str_of(PyObject* object) {
    Ref text = checked(PyObject_Str(object));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) throw_pending();
    return std::string(utf8, static_cast<std::size_t>(size));
}

// The integer-index protocol: an int (True and False included) or an object with
// __index__; never a float.
Ref as_index(PyObject* value) { return checked(PyNumber_Index(value)); }

std::uint64_t as_unsigned_64(PyObject* value) {
    Ref index = as_index(value);
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return result;
}

}  // namespace

void bind_arguments(std::string_view operation, std::span<const Parameter> params,
                    PyObject* args, PyObject* kwargs, std::span<Ref> out) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    // Work on a copy: host code run below (str() of a key, __eq__ of a str subclass)
    // must not see our removals, and the caller's dictionary stays as it was.
    Ref remaining = checked(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    Py_ssize_t used = 0;

    for (std::size_t i = 0; i < params.size(); ++i) {
        const Parameter& p = params[i];
        const Py_ssize_t position = static_cast<Py_ssize_t>(i);
        Ref name = checked(PyUnicode_FromString(p.name));
        PyObject* keyword_value = PyDict_GetItemWithError(remaining.get(), name.get());
        if (!keyword_value && PyErr_Occurred()) throw_pending();
        if (keyword_value) {
            if (position < nargs)
                binding_error(operation, std::string("got multiple values for argument: ") + p.name);
            out[i] = Ref::borrow(keyword_value);  // hold it before the dictionary lets go
            if (PyDict_DelItem(remaining.get(), name.get()) < 0) throw_pending();
        } else if (position < nargs) {
            out[i] = Ref::borrow(PyTuple_GET_ITEM(args, position));
            ++used;
        } else if (p.required) {
            binding_error(operation,
                          std::string("missing required positional argument: ") + p.name);
        }
    }

    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *unused = nullptr;
    if (PyDict_Next(remaining.get(), &pos, &key, &unused)) {
        Ref held = Ref::borrow(key);  // str() may run host code
        binding_error(operation, "got an unexpected keyword argument: " + str_of(held.get()));
    }

    if (used < nargs) {
        binding_error(operation, "takes at most " + std::to_string(used) + " positional argument" +
                                     (used == 1 ? "" : "s") + " (" + std::to_string(nargs) +
                                     " given)");
    }
}

std::uint8_t to_u8(PyObject* value) {
    Ref index = as_index(value);
    const long result = PyLong_AsLong(index.get());
    if (result == -1 && PyErr_Occurred()) throw_pending();
    if (result < 0 || result > UINT8_MAX) throw_error(PyExc_OverflowError);
    return static_cast<std::uint8_t>(result);
}

std::uint32_t to_u32(PyObject* value) {
    const std::uint64_t result = as_unsigned_64(value);
    if (result > UINT32_MAX) throw_error(PyExc_OverflowError);
    return static_cast<std::uint32_t>(result);
}

std::uint64_t to_u64(PyObject* value) { return as_unsigned_64(value); }

double to_f64(PyObject* value) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) throw_pending();
    return result;
}

std::string to_text(PyObject* value) {
    if (!PyUnicode_Check(value)) throw_error(PyExc_TypeError);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) throw_pending();
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace vandu::py
