// Reads a matrix file of either kind: Matrix Market when the name ends in
// ".mtx" or the file starts with "%%MatrixMarket", delimited text otherwise.
// "-" reads standard input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DenseMatrix.h"

namespace kestrim::cli {

// The default bound on a declared matrix size, in elements (1 GiB of doubles).
inline constexpr uint64_t kDefaultMaxElements = uint64_t{1} << 27;

struct MatrixFile {
    DenseMatrix matrix;
    std::vector<std::string> header;  // column names of a delimited file with a header line
};

MatrixFile ReadMatrixFile(const std::string& path, uint64_t maxElements);

}  // namespace kestrim::cli
