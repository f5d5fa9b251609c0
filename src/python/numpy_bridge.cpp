#include "python/numpy_bridge.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include "core/failure.hpp"
#include "python/errors.hpp"
#include "python/type_slot.hpp"

namespace vandu::py {

namespace {

// Entries of NumPy's interface table, by their fixed published index.
constexpr int array_type_entry = 2;
constexpr int array_new_entry = 93;
constexpr int set_base_object_entry = 282;

using ArrayNew = PyObject* (*)(PyTypeObject*, int, const npy_intp*, int, const npy_intp*, void*,
                               int, int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

std::atomic<void**> api_table{nullptr};

// NumPy 2 moved its core to numpy._core and warns on every use of the old name; NumPy 1
// has only the old one.
void** import_api_table() {
    for (const char* module_name : {"numpy._core.multiarray", "numpy.core.multiarray"}) {
        Ref module = Ref::steal(PyImport_ImportModule(module_name));
        if (!module) {
            PyErr_Clear();
            continue;
        }
        Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
        if (!capsule) {
            PyErr_Clear();
            continue;
        }
        void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
        if (!table) {
            PyErr_Clear();
            continue;
        }
        return static_cast<void**>(table);
    }
    fail("Failed to import numpy module");
}

void** api() {
    if (void** table = api_table.load(std::memory_order_acquire)) return table;
    void** table = import_api_table();
    void** expected = nullptr;
    api_table.compare_exchange_strong(expected, table, std::memory_order_acq_rel);
    return api_table.load(std::memory_order_acquire);
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api()[array_type_entry]); }

const PyArrayObject_fields& fields(PyObject* array) {
    return *reinterpret_cast<const PyArrayObject_fields*>(array);
}

const char* dtype_name(int type_num) {
    switch (type_num) {
        case NPY_BOOL: return "Bool";
        case NPY_BYTE: return "Int8";
        case NPY_UBYTE: return "Uint8";
        case NPY_SHORT: return "Int16";
        case NPY_USHORT: return "Uint16";
        case NPY_INT: return "Int32";
        case NPY_UINT: return "Uint32";
        case NPY_LONG: return sizeof(long) == 4 ? "Int32" : "Int64";
        case NPY_ULONG: return sizeof(unsigned long) == 4 ? "Uint32" : "Uint64";
        case NPY_LONGLONG: return "Int64";
        case NPY_ULONGLONG: return "Uint64";
        case NPY_FLOAT: return "Float32";
        case NPY_DOUBLE: return "Float64";
        case NPY_CFLOAT: return "Complex32";
        case NPY_CDOUBLE: return "Complex64";
        default: return "Unsupported";
    }
}

bool native_order(PyObject* array) { return PyArray_ISNBO(fields(array).descr->byteorder); }

// One element read with memcpy, so misaligned and odd-strided data are read safely.
inline double load_double(const char* at, bool swap) {
    std::uint64_t bits;
    std::memcpy(&bits, at, sizeof bits);
    if (swap) bits = __builtin_bswap64(bits);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void swap_in_place(Vector& values) {
    for (double& v : values) v = load_double(reinterpret_cast<const char*>(&v), true);
}

// The keeper: owns the buffer of one prediction array.
struct SliceBox {
    PyObject ob_base;
    std::int64_t borrow_flag;
    Vector values;
};

void slice_box_dealloc(PyObject* self) {
    reinterpret_cast<SliceBox*>(self)->values.~Vector();
    Py_TYPE(self)->tp_free(self);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
LazyType slice_box_lazy{{PyVarObject_HEAD_INIT(nullptr, 0)}};
#pragma GCC diagnostic pop

}  // namespace

PyTypeObject* slice_box_type() {
    return slice_box_lazy.ready("SliceBox", [](PyTypeObject& t) {
        t.tp_name = "vandu.SliceBox";
        t.tp_doc = "Owns the memory of an array handed out by vandu.";
        t.tp_basicsize = sizeof(SliceBox);
        t.tp_dealloc = slice_box_dealloc;
    });
}

PyObject* check_array(PyObject* object, int dims) {
    if (!PyObject_TypeCheck(object, array_type())) throw_error(PyExc_TypeError);
    const PyArrayObject_fields& a = fields(object);
    const int type_num = a.descr->type_num;
    if (type_num != NPY_DOUBLE || a.nd != dims) {
        throw_error(PyExc_TypeError,
                    "Extraction failed:\n from=(dim=" + std::to_string(a.nd) +
                        ", dtype=" + dtype_name(type_num) + "), to=(dim=" + std::to_string(dims) +
                        ", dtype=Float64)\n context: [FromPyObject::extract] typecheck failed");
    }
    return object;
}

namespace {

Matrix feature_matrix(PyObject* x) {
    const PyArrayObject_fields& a = fields(x);
    const std::size_t n = static_cast<std::size_t>(a.dimensions[0]);  // samples
    const std::size_t m = static_cast<std::size_t>(a.dimensions[1]);  // features
    const npy_intp s0 = a.strides[0];
    const npy_intp s1 = a.strides[1];
    const char* data = a.data;
    const bool swap = !native_order(x);
    constexpr npy_intp item = sizeof(double);

    // Sample-major unless x is column-major: the features of one sample side by side,
    // which is what the tree learner reads fastest.
    Matrix out;
    out.rows = m;
    out.cols = n;
    out.row_stride = 1;
    out.col_stride = static_cast<std::ptrdiff_t>(m);
    out.storage.resize(n * m);
    if (n == 0 || m == 0) return out;

    const bool row_major = (n == 1 || s0 == static_cast<npy_intp>(m) * item) && (m == 1 || s1 == item);
    const bool column_major =
        (m == 1 || s1 == static_cast<npy_intp>(n) * item) && (n == 1 || s0 == item);
    if (row_major || column_major) {
        std::memcpy(out.storage.data(), data, n * m * sizeof(double));
        if (!row_major) {
            out.row_stride = static_cast<std::ptrdiff_t>(n);
            out.col_stride = 1;
        }
        if (swap) swap_in_place(out.storage);
        return out;
    }

    // Any other layout (slices, reversed or broadcast axes, odd strides): element by
    // element in sample-major order.
    double* dst = out.storage.data();
    for (std::size_t s = 0; s < n; ++s) {
        const char* sample = data + static_cast<npy_intp>(s) * s0;
        for (std::size_t f = 0; f < m; ++f)
            *dst++ = load_double(sample + static_cast<npy_intp>(f) * s1, swap);
    }
    return out;
}

}  // namespace

FeatureView::FeatureView(PyObject* x) {
    const PyArrayObject_fields& a = fields(x);
    constexpr npy_intp item = sizeof(double);
    const bool aligned = reinterpret_cast<std::uintptr_t>(a.data) % alignof(double) == 0;
    const bool empty = a.dimensions[0] == 0 || a.dimensions[1] == 0;
    if (!empty && native_order(x) && aligned && a.strides[0] % item == 0 && a.strides[1] % item == 0) {
        view_.data = reinterpret_cast<const double*>(a.data);
        view_.rows = static_cast<std::size_t>(a.dimensions[1]);
        view_.cols = static_cast<std::size_t>(a.dimensions[0]);
        view_.row_stride = a.strides[1] / item;
        view_.col_stride = a.strides[0] / item;
        return;
    }
    copy_ = feature_matrix(x);
    view_ = copy_.view();
}

TargetVector::TargetVector(PyObject* y) {
    const PyArrayObject_fields& a = fields(y);
    const std::size_t n = static_cast<std::size_t>(a.dimensions[0]);
    const npy_intp stride = a.strides[0];
    const char* data = a.data;
    constexpr npy_intp item = sizeof(double);
    const bool aligned = reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0;
    if (native_order(y) && aligned && stride % item == 0) {
        view_ = VectorView(reinterpret_cast<const double*>(data), n, stride / item);
        return;
    }
    const bool swap = !native_order(y);
    copy_.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        copy_[i] = load_double(data + static_cast<npy_intp>(i) * stride, swap);
    view_ = VectorView(copy_);
}

Ref prediction_array(Vector&& values) {
    void** table = api();
    const auto array_new = reinterpret_cast<ArrayNew>(table[array_new_entry]);
    const auto set_base = reinterpret_cast<SetBaseObject>(table[set_base_object_entry]);

    // An empty vector has no buffer, and NumPy would allocate (and own, writable) one of
    // its own for a null data pointer.
    if (values.capacity() == 0) values.reserve(1);

    PyTypeObject* box_type = slice_box_type();
    Ref keeper = Ref::steal(box_type->tp_alloc(box_type, 0));
    if (!keeper) {
        PyErr_Clear();
        fail("Object creation failed.");
    }
    auto* box = reinterpret_cast<SliceBox*>(keeper.get());
    box->borrow_flag = 0;
    new (&box->values) Vector(std::move(values));

    npy_intp shape[1] = {static_cast<npy_intp>(box->values.size())};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(double))};
    Ref result = Ref::steal(array_new(array_type(), 1, shape, NPY_DOUBLE, strides,
                                      box->values.data(), sizeof(double), 0, nullptr));
    if (!result) {
        keeper.reset();
        api_call_failed();
    }
    // Takes the keeper's reference whether it succeeds or not.
    if (set_base(result.get(), keeper.release()) < 0) api_call_failed();
    return result;
}

}  // namespace vandu::py
