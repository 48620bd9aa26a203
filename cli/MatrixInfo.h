// The `info` report: size, squareness, symmetry and the common norms.
#pragma once

#include <string>
#include <vector>

#include "DenseMatrix.h"
#include "ValueFormat.h"

namespace kestrim::cli {

struct Norms {
    double one = 0;        // largest column sum of absolute values
    double infinity = 0;   // largest row sum of absolute values
    double frobenius = 0;  // square root of the sum of squares
    double max = 0;        // largest absolute value
};

Norms ComputeNorms(const DenseMatrix& m);

// `symmetric` comes from the library's exact test.
std::string DescribeMatrix(const std::string& file, const DenseMatrix& m, bool symmetric,
                           const std::vector<std::string>& header, const NumberFormat& format);

}  // namespace kestrim::cli
