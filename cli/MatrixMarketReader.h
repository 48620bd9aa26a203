// Reads a Matrix Market file ("%%MatrixMarket matrix coordinate|array
// real|integer general|symmetric"). Symmetric files hold the lower triangle
// and are mirrored. Sizes are checked against `maxElements` before any
// storage for the matrix is taken, and entries are held only as they are
// read, so a huge declared size in a small file costs nothing.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "DenseMatrix.h"

namespace kestrim::cli {

DenseMatrix ReadMatrixMarket(std::istream& in, const std::string& name, uint64_t maxElements);

}  // namespace kestrim::cli
