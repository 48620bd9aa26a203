// Moves values between the tool's DenseMatrix and library Matrix objects.
#pragma once

#include "DenseMatrix.h"
#include "kestrim/Matrix.h"

namespace kestrim::cli {

kestrim::MatrixPtr ToMatrix(const DenseMatrix& m);
DenseMatrix FromMatrix(const kestrim::Matrix& m);
// A column of numbers, e.g. a permutation index.
DenseMatrix ColumnOf(const std::vector<double>& values);

}  // namespace kestrim::cli
