#include "core/matrix.hpp"

#include <cstring>

namespace vandu {

namespace {
void copy_rows_into(Matrix& out, std::size_t first_row, MatrixView src) {
    if (src.rows == 0) return;
    for (std::size_t c = 0; c < src.cols; ++c) {
        double* dst = &out.at(first_row, c);  // column-major: rows of one column are adjacent
        for (std::size_t r = 0; r < src.rows; ++r) dst[r] = src(r, c);
    }
}
}  // namespace

Matrix stack_rows(MatrixView top, MatrixView bottom) {
    Matrix out = Matrix::column_major(top.rows + bottom.rows, top.cols);
    copy_rows_into(out, 0, top);
    copy_rows_into(out, top.rows, bottom);
    return out;
}

Matrix to_column_major(MatrixView v) {
    Matrix out = Matrix::column_major(v.rows, v.cols);
    const bool packed = (v.rows < 2 || v.row_stride == 1) &&
                        (v.cols < 2 || v.col_stride == static_cast<std::ptrdiff_t>(v.rows));
    if (packed && v.rows && v.cols) {
        std::memcpy(out.storage.data(), v.data, v.rows * v.cols * sizeof(double));
        return out;
    }
    copy_rows_into(out, 0, v);
    return out;
}

}  // namespace vandu
