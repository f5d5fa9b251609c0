// Binding a call's arguments to an operation's parameters, and converting them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python/py_ref.hpp"

namespace vandu::py {

struct Parameter {
    const char* name;
    bool required;
};

// Binds (args, kwargs) to `params` in declaration order; out[i] is null for an absent
// parameter. Binding failures are TypeErrors that begin with `operation`, for example
// "DecisionTree.fit()". The caller's keyword dictionary is never changed.
void bind_arguments(std::string_view operation, std::span<const Parameter> params,
                    PyObject* args, PyObject* kwargs, std::span<Ref> out);

template <std::size_t N>
std::array<Ref, N> bind_parameters(std::string_view operation, const std::array<Parameter, N>& params,
                                   PyObject* args, PyObject* kwargs) {
    std::array<Ref, N> out;
    bind_arguments(operation, params, args, kwargs, out);
    return out;
}

// True when an optional parameter takes its default (absent or None).
inline bool is_absent(const Ref& value) { return !value || value.get() == Py_None; }

// Conversions; each throws the host error the parameter kind calls for.
std::uint8_t to_u8(PyObject* value);
std::uint32_t to_u32(PyObject* value);
std::uint64_t to_u64(PyObject* value);
double to_f64(PyObject* value);
std::string to_text(PyObject* value);

template <class T>
T value_or(const Ref& value, T fallback, T (*convert)(PyObject*)) {
    return is_absent(value) ? fallback : convert(value.get());
}

inline std::optional<std::string> optional_text(const Ref& value) {
    if (is_absent(value)) return std::nullopt;
    return to_text(value.get());
}

}  // namespace vandu::py
