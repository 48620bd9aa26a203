// A record of plane-rotation sweeps over the columns of an accumulated
// transformation (the eigenvectors of the QL iteration), kept until it is
// applied to the array in one pass over blocks of rows.
//
// The iterations that produce the rotations never read the array they
// accumulate into, and every row of it receives its own sequence of
// updates. Applying the record later, in recorded order, gives every
// element exactly the operations it would have received at once, but turns
// one pass over two whole columns per rotation into a sweep over a
// cache-resident block of rows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decomp/Kernels.h"
#include "host/runtime/Parallel.h"

namespace kestrim::detail::kernels {

// ApplyColumnOps with the rows split among threads in whole blocks: rows
// never interact, so every element gets the same operations in the same
// order at any thread count.
inline void ApplyColumnOpsParallel(double* base, std::size_t ld, std::size_t rows, const ColumnOp* ops,
                                   std::size_t nops, const double* c, const double* s) {
    if (nops == 0) return;
    constexpr std::size_t kBlock = 32;
    std::size_t rotations = 0;
    for (std::size_t o = 0; o < nops; ++o) rotations += ops[o].count + 1;
    const auto blocks = static_cast<int64_t>((rows + kBlock - 1) / kBlock);
    ParallelForWork(blocks, 6.0 * static_cast<double>(rotations) * static_cast<double>(rows),
                    [&](int64_t begin, int64_t end) {
                        const std::size_t r0 = static_cast<std::size_t>(begin) * kBlock;
                        const std::size_t r1 = std::min(rows, static_cast<std::size_t>(end) * kBlock);
                        ApplyColumnOps(base + r0, ld, r1 - r0, ops, nops, c, s);
                    });
}

class RotationLog {
public:
    // Makes room for everything recorded between two applications to an
    // array of `columns` columns, so that recording never allocates.
    void Reserve(std::size_t columns) {
        limit_ = kBaseRotations + kRotationsPerColumn * columns;
        c_.reserve(limit_ + columns);
        s_.reserve(limit_ + columns);
        ops_.reserve(limit_ + columns);
    }

    // Starts a sweep whose first rotation has `first` as its p column; the
    // sweep walks up (first, first + 1, ...) or down (first, first - 1, ...).
    void Begin(std::size_t first, bool descending) {
        current_ = ColumnOp{first, 0, c_.size(), descending};
    }
    void Add(double c, double s) {
        c_.push_back(c);
        s_.push_back(s);
        ++current_.count;
    }
    void End() {
        if (current_.count != 0) ops_.push_back(current_);
    }

    // Enough is recorded that applying it now pays for a pass over the array.
    bool Full() const noexcept { return c_.size() >= limit_; }

    // Applies the record to rows 0 .. rows-1 of the column-major array at
    // `base` (column stride ld) and empties it.
    void Apply(double* base, std::size_t ld, std::size_t rows) {
        ApplyColumnOpsParallel(base, ld, rows, ops_.data(), ops_.size(), c_.data(), s_.data());
        Clear();
    }

    void Clear() noexcept {
        ops_.clear();
        c_.clear();
        s_.clear();
    }

private:
    static constexpr std::size_t kBaseRotations = 256;
    static constexpr std::size_t kRotationsPerColumn = 8;

    std::vector<ColumnOp> ops_;
    std::vector<double> c_, s_;
    ColumnOp current_{0, 0, 0};
    std::size_t limit_ = kBaseRotations;
};

}  // namespace kestrim::detail::kernels
