// The column loops of the reductions and accumulations, split among
// threads. Each column (or each row, for the per-row sums) is computed
// exactly as on one thread; only which thread computes it depends on the
// thread count, so the results do not.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "decomp/Kernels.h"
#include "host/runtime/Parallel.h"

namespace kestrim::detail::kernels {

// ColumnDots over columns first .. last-1 with the columns split among
// threads. `use` may change only the column it is given (and must not
// write shared state); x must not be one of the columns.
template <class Column, class Use>
inline void ParallelColumnDots(const double* x, std::size_t first, std::size_t last, std::size_t len,
                               Column&& column, Use&& use) {
    if (last <= first) return;
    const auto count = static_cast<int64_t>(last - first);
    ParallelForWork(count, 4.0 * static_cast<double>(len) * static_cast<double>(count),
                    [&](int64_t begin, int64_t end) {
                        ColumnDots(x, first + static_cast<std::size_t>(begin), first + static_cast<std::size_t>(end),
                                   len, column, use);
                    });
}

// body(r0, r1) over [0, rows) split among threads in ranges of whole
// cache lines; `flopsPerRow` sizes the thread count.
template <class Body>
inline void ParallelRows(std::size_t rows, double flopsPerRow, Body&& body) {
    constexpr std::size_t kChunk = 8;
    const auto chunks = static_cast<int64_t>((rows + kChunk - 1) / kChunk);
    ParallelForWork(chunks, flopsPerRow * static_cast<double>(rows), [&](int64_t begin, int64_t end) {
        const std::size_t r0 = static_cast<std::size_t>(begin) * kChunk;
        const std::size_t r1 = std::min(rows, static_cast<std::size_t>(end) * kChunk);
        if (r0 < r1) body(r0, r1);
    });
}

// body(j0, j1) over columns [first, last) split among threads.
template <class Body>
inline void ParallelColumns(std::size_t first, std::size_t last, double flopsPerColumn, Body&& body) {
    if (last <= first) return;
    const auto count = static_cast<int64_t>(last - first);
    ParallelForWork(count, flopsPerColumn * static_cast<double>(count), [&](int64_t begin, int64_t end) {
        body(first + static_cast<std::size_t>(begin), first + static_cast<std::size_t>(end));
    });
}

}  // namespace kestrim::detail::kernels
