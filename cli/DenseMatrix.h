// A plain column-major matrix of doubles: what the readers produce and the
// writers consume, kept apart from kestrim::Matrix so that file handling
// needs no library object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrim::cli {

struct DenseMatrix {
    int32_t rows = 0;
    int32_t cols = 0;
    std::vector<double> values;  // element (r, c) at c * rows + r

    double& At(int32_t r, int32_t c) { return values[static_cast<std::size_t>(c) * rows + r]; }
    double At(int32_t r, int32_t c) const {
        return values[static_cast<std::size_t>(c) * rows + r];
    }
};

}  // namespace kestrim::cli
