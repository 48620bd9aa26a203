#include "MatrixConvert.h"

#include <algorithm>

namespace kestrim::cli {

kestrim::MatrixPtr ToMatrix(const DenseMatrix& m) {
    kestrim::DoubleArray array = kestrim::DoubleArray::Create2D(m.rows - 1, m.cols - 1);
    std::copy(m.values.begin(), m.values.end(), array.Data());
    auto matrix = kestrim::Matrix::New();
    matrix->Size(m.rows, m.cols);
    matrix->SetAsArray(array);
    return matrix;
}

DenseMatrix FromMatrix(const kestrim::Matrix& m) {
    // AsArray returns the column-major elements, the layout of DenseMatrix.
    kestrim::DoubleArray array = m.AsArray();
    DenseMatrix out;
    out.rows = m.Rows();
    out.cols = m.Cols();
    out.values.assign(array.Data(), array.Data() + array.Count());
    out.values.resize(static_cast<std::size_t>(out.rows) * static_cast<std::size_t>(out.cols), 0.0);
    return out;
}

DenseMatrix ColumnOf(const std::vector<double>& values) {
    DenseMatrix out;
    out.rows = static_cast<int32_t>(values.size());
    out.cols = 1;
    out.values = values;
    return out;
}

}  // namespace kestrim::cli
