// Packing of a right operand for the product kernels' multiplyRows and
// subtractRows when its rows already lie contiguous in memory.
#pragma once

#include <algorithm>
#include <cstddef>

namespace kestrim::linsys {

// Packs the depth x cols operand whose row k starts at rows + k * ld
// (element (k, j) at rows[k * ld + j]) into panels of nr columns, each
// k-major: the layout of Kernel::packB's output, copied row piece by row
// piece instead of gathered column by column. out holds depth * cols
// doubles.
inline void PackRightFromRows(const double* rows, std::size_t ld, std::size_t depth, std::size_t cols,
                              std::size_t nr, double* out) {
    // Row by row, each read once and whole; rows far apart are requested
    // a few ahead so that their loads overlap.
    constexpr std::size_t kAhead = 4;
    for (std::size_t k = 0; k < depth; ++k) {
        const double* src = rows + k * ld;
        if (k + kAhead < depth && ld > cols) {
            const double* ahead = src + kAhead * ld;
            for (std::size_t j = 0; j < cols; j += 8) __builtin_prefetch(ahead + j);
            __builtin_prefetch(ahead + cols - 1);
        }
        for (std::size_t j0 = 0; j0 < cols; j0 += nr) {
            const std::size_t width = std::min(nr, cols - j0);
            double* dst = out + j0 * depth + k * width;
            for (std::size_t j = 0; j < width; ++j) dst[j] = src[j0 + j];
        }
    }
}

}  // namespace kestrim::linsys
