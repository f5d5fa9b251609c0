// Strided views and owned matrices of doubles.
//
// A feature matrix has one row per feature and one column per sample; element (f, s)
// lives at data[f * row_stride + s * col_stride]. Strides are in elements and signed,
// so reversed and transposed views need no copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vandu {

using Vector = std::vector<double>;

struct VectorView {
    const double* data = nullptr;
    std::size_t len = 0;
    std::ptrdiff_t stride = 1;

    VectorView() = default;
    VectorView(const double* d, std::size_t n, std::ptrdiff_t s = 1) : data(d), len(n), stride(s) {}
    VectorView(const Vector& v) : data(v.data()), len(v.size()), stride(1) {}  // NOLINT

    double operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
    std::size_t size() const { return len; }
    bool contiguous() const { return stride == 1 || len < 2; }
    // Elements [begin, end), no copy.
    VectorView slice(std::size_t begin, std::size_t end) const {
        return {len ? data + static_cast<std::ptrdiff_t>(begin) * stride : data, end - begin, stride};
    }
    Vector to_vector() const {
        Vector out(len);
        for (std::size_t i = 0; i < len; ++i) out[i] = (*this)[i];
        return out;
    }
};

struct MatrixView {
    const double* data = nullptr;
    std::size_t rows = 0;  // features
    std::size_t cols = 0;  // samples
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    double operator()(std::size_t r, std::size_t c) const {
        return data[static_cast<std::ptrdiff_t>(r) * row_stride +
                    static_cast<std::ptrdiff_t>(c) * col_stride];
    }
    VectorView row(std::size_t r) const {
        return {data + static_cast<std::ptrdiff_t>(r) * row_stride, cols, col_stride};
    }
    // Columns (samples) [begin, end), all rows, no copy.
    MatrixView columns(std::size_t begin, std::size_t end) const {
        MatrixView v = *this;
        if (cols) v.data = data + static_cast<std::ptrdiff_t>(begin) * col_stride;
        v.cols = end - begin;
        return v;
    }
    // The features of one sample sit side by side.
    bool sample_major() const { return row_stride == 1 || rows < 2; }
};

// An owned matrix. Storage order is free; views see it through the strides.
struct Matrix {
    std::vector<double> storage;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    // rows x cols, row-major (each row contiguous), zero-filled.
    static Matrix row_major(std::size_t rows, std::size_t cols) {
        Matrix m;
        m.storage.assign(rows * cols, 0.0);
        m.rows = rows;
        m.cols = cols;
        m.row_stride = static_cast<std::ptrdiff_t>(cols);
        m.col_stride = 1;
        return m;
    }
    // rows x cols with the elements of each column side by side, zero-filled.
    static Matrix column_major(std::size_t rows, std::size_t cols) {
        Matrix m;
        m.storage.assign(rows * cols, 0.0);
        m.rows = rows;
        m.cols = cols;
        m.row_stride = 1;
        m.col_stride = static_cast<std::ptrdiff_t>(rows);
        return m;
    }

    MatrixView view() const { return {storage.data(), rows, cols, row_stride, col_stride}; }
    double& at(std::size_t r, std::size_t c) {
        return storage[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(r) * row_stride +
                                                static_cast<std::ptrdiff_t>(c) * col_stride)];
    }
    double operator()(std::size_t r, std::size_t c) const { return view()(r, c); }
};

// A copy of `top` with the rows of `bottom` appended below it; both have the same
// number of columns. The result keeps one sample's features side by side.
Matrix stack_rows(MatrixView top, MatrixView bottom);

// A copy of `v` with the elements of each column side by side.
Matrix to_column_major(MatrixView v);

}  // namespace vandu
