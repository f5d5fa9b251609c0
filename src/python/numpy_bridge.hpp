// Array exchange with NumPy through its published interface table; no link-time
// dependency on NumPy and no import at module import time.
#pragma once

#include "core/matrix.hpp"
#include "python/py_ref.hpp"

namespace vandu::py {

// A float64 NumPy array of `dims` dimensions (borrowed from the caller), or a TypeError:
// without message when `object` is not an array, "Extraction failed: ..." otherwise.
PyObject* check_array(PyObject* object, int dims);

// The feature matrix of a checked two-dimensional x (samples x features): one row per
// feature, one column per sample. A view of x's own memory when x can be read as native
// doubles (the caller holds x for the whole call), so that a fit needs no copy of its
// training data; otherwise a copy made exactly once, with x's true values whatever its
// strides, alignment and byte order.
class FeatureView {
public:
    explicit FeatureView(PyObject* x);
    MatrixView view() const { return view_; }

private:
    Matrix copy_;
    MatrixView view_;
};

// The targets of a checked one-dimensional y: a view of y's own memory when it can be
// read as native doubles, otherwise a native copy.
class TargetVector {
public:
    explicit TargetVector(PyObject* y);
    VectorView view() const { return view_; }

private:
    Vector copy_;
    VectorView view_;
};

// Hands a prediction vector to NumPy without copying it: a read-only float64 array whose
// base object owns the vector's buffer.
Ref prediction_array(Vector&& values);

// The keeper type of prediction arrays (never added to the module).
PyTypeObject* slice_box_type();

}  // namespace vandu::py
