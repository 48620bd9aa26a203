// Reflections and rotations from the left that the Hessenberg QR iteration
// applies to rows of H in columns it does not read at that time, kept and
// applied later, column by column.
//
// The eigenvalue iteration never reads a column right of the active block
// (j > en) again, as en only decreases; within one step it does not read
// the columns beyond the reach of the next reflections either. Such a
// column receives, until it is read, only these operations from the left,
// so applying them later, column by column and in recorded order, gives
// every element exactly the operations (and the bits) of the plain row
// loops, while the rows of a block of columns stay in cache for the whole
// record instead of three elements of every column being touched per
// operation. A block of 16 columns is transposed into a row-interleaved
// scratch, where each operation is a few 256-bit operations over
// contiguous memory, and transposed back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decomp/ParallelColumns.h"
#include "eigen/EigenInternal.h"
#include "eigen/EigenKernels.h"

namespace kestrim::detail::eigen {

// One operation from the left on rows k, k + 1 (and k + 2) of the columns
// `first` .. n of H, with a, b, c the elements of those rows:
//   Three:    t = a + q*b + r*c; a = a - t*x; b = b - t*y; c = c - t*zz
//   Two:      t = a + q*b;       a = a - t*x; b = b - t*y
//   Rotation: z = a; a = q*z + r*b; b = q*b - r*z
struct RowOp {
    enum class Kind : int32_t { Three, Two, Rotation };
    int32_t k;
    int32_t first;
    Kind kind;
    double q, r, x, y, zz;
};

namespace rowops {

inline void ApplyToColumn(double* h, const RowOp* op, const RowOp* end) noexcept {
    for (; op != end; ++op) {
        double* a = h + op->k;
        switch (op->kind) {
            case RowOp::Kind::Three: {
                const double t = a[0] + op->q * a[1] + op->r * a[2];
                a[0] = a[0] - t * op->x;
                a[1] = a[1] - t * op->y;
                a[2] = a[2] - t * op->zz;
                break;
            }
            case RowOp::Kind::Two: {
                const double t = a[0] + op->q * a[1];
                a[0] = a[0] - t * op->x;
                a[1] = a[1] - t * op->y;
                break;
            }
            case RowOp::Kind::Rotation: {
                const double z = a[0];
                a[0] = op->q * z + op->r * a[1];
                a[1] = op->q * a[1] - op->r * z;
                break;
            }
        }
    }
}

#if KESTRIM_DECOMP_AVX
// c0 .. c3 hold four consecutive rows of four columns; r0 .. r3 receive
// those rows, each across the four columns.
__attribute__((target("avx"))) inline void Transpose4(const __m256d c0, const __m256d c1, const __m256d c2,
                                                      const __m256d c3, double* r0, double* r1, double* r2,
                                                      double* r3) noexcept {
    const __m256d lo01 = _mm256_unpacklo_pd(c0, c1);  // c0[0] c1[0] c0[2] c1[2]
    const __m256d hi01 = _mm256_unpackhi_pd(c0, c1);  // c0[1] c1[1] c0[3] c1[3]
    const __m256d lo23 = _mm256_unpacklo_pd(c2, c3);
    const __m256d hi23 = _mm256_unpackhi_pd(c2, c3);
    _mm256_storeu_pd(r0, _mm256_permute2f128_pd(lo01, lo23, 0x20));
    _mm256_storeu_pd(r1, _mm256_permute2f128_pd(hi01, hi23, 0x20));
    _mm256_storeu_pd(r2, _mm256_permute2f128_pd(lo01, lo23, 0x31));
    _mm256_storeu_pd(r3, _mm256_permute2f128_pd(hi01, hi23, 0x31));
}

// Rows 0 .. rows-1 of kWidth columns (column c at col + c * ld) into a
// row-interleaved scratch (row i at scratch + i * kWidth), and back.
template <std::size_t kWidth>
__attribute__((target("avx"))) void CopyToRows(const double* col, std::size_t ld, std::size_t rows,
                                               double* scratch) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        double* out = scratch + i * kWidth;
        for (std::size_t c = 0; c < kWidth; c += 4) {
            const double* p = col + c * ld + i;
            Transpose4(_mm256_loadu_pd(p), _mm256_loadu_pd(p + ld), _mm256_loadu_pd(p + 2 * ld),
                       _mm256_loadu_pd(p + 3 * ld), out + c, out + kWidth + c, out + 2 * kWidth + c,
                       out + 3 * kWidth + c);
        }
    }
    for (; i < rows; ++i)
        for (std::size_t c = 0; c < kWidth; ++c) scratch[i * kWidth + c] = col[c * ld + i];
}

template <std::size_t kWidth>
__attribute__((target("avx"))) void CopyFromRows(const double* scratch, std::size_t rows, double* col,
                                                 std::size_t ld) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const double* in = scratch + i * kWidth;
        for (std::size_t c = 0; c < kWidth; c += 4) {
            double* p = col + c * ld + i;
            Transpose4(_mm256_loadu_pd(in + c), _mm256_loadu_pd(in + kWidth + c),
                       _mm256_loadu_pd(in + 2 * kWidth + c), _mm256_loadu_pd(in + 3 * kWidth + c), p, p + ld,
                       p + 2 * ld, p + 3 * ld);
        }
    }
    for (; i < rows; ++i)
        for (std::size_t c = 0; c < kWidth; ++c) col[c * ld + i] = scratch[i * kWidth + c];
}

// One operation on lane c of a row-interleaved scratch (a points at row k,
// consecutive rows kWidth apart).
template <std::size_t kWidth>
inline void ApplyToLane(double* a, const RowOp& op) noexcept {
    switch (op.kind) {
        case RowOp::Kind::Three: {
            const double t = a[0] + op.q * a[kWidth] + op.r * a[2 * kWidth];
            a[0] = a[0] - t * op.x;
            a[kWidth] = a[kWidth] - t * op.y;
            a[2 * kWidth] = a[2 * kWidth] - t * op.zz;
            break;
        }
        case RowOp::Kind::Two: {
            const double t = a[0] + op.q * a[kWidth];
            a[0] = a[0] - t * op.x;
            a[kWidth] = a[kWidth] - t * op.y;
            break;
        }
        case RowOp::Kind::Rotation: {
            const double z = a[0];
            a[0] = op.q * z + op.r * a[kWidth];
            a[kWidth] = op.q * a[kWidth] - op.r * z;
            break;
        }
    }
}

// The operations [op, end) on the 4 * kVecs columns j .. of H, each on the
// columns of the block that it reaches (`first` or later) from lane
// `lane0` on (the lanes before it are left alone); they touch rows
// r0 .. r1. The kVecs groups of four columns are independent, so their
// chains of dependent operations overlap; a group that an operation reaches
// only in part takes it lane by lane.
template <int kVecs>
__attribute__((target("avx"))) void ApplyToBlock(Square& H, std::size_t j, int64_t lane0, const RowOp* op,
                                                 const RowOp* end, int32_t r0, int32_t r1,
                                                 double* scratch) noexcept {
    constexpr std::size_t kWidth = 4 * kVecs;
    const std::size_t ld = H.Stride();
    double* col = H.Col(static_cast<int32_t>(j)) + r0;
    const std::size_t rows = static_cast<std::size_t>(r1 - r0) + 1;
    CopyToRows<kWidth>(col, ld, rows, scratch);
    for (; op != end; ++op) {
        double* a = scratch + static_cast<std::size_t>(op->k - r0) * kWidth;
        const int64_t c0 = std::max(lane0, static_cast<int64_t>(op->first) - static_cast<int64_t>(j));
        int v = 0;
        if (c0 > 0) {
            v = static_cast<int>((c0 + 3) / 4);
            for (int64_t c = c0; c < 4 * static_cast<int64_t>(v) && c < static_cast<int64_t>(kWidth); ++c)
                ApplyToLane<kWidth>(a + c, *op);
        }
        const __m256d vq = _mm256_set1_pd(op->q), vr = _mm256_set1_pd(op->r);
        const __m256d vx = _mm256_set1_pd(op->x), vy = _mm256_set1_pd(op->y), vz = _mm256_set1_pd(op->zz);
        switch (op->kind) {
            case RowOp::Kind::Three:
#pragma GCC unroll 4
                for (; v < kVecs; ++v) {
                    double* p = a + 4 * v;
                    const __m256d x0 = _mm256_loadu_pd(p);
                    const __m256d x1 = _mm256_loadu_pd(p + kWidth);
                    const __m256d x2 = _mm256_loadu_pd(p + 2 * kWidth);
                    const __m256d t =
                        _mm256_add_pd(_mm256_add_pd(x0, _mm256_mul_pd(vq, x1)), _mm256_mul_pd(vr, x2));
                    _mm256_storeu_pd(p, _mm256_sub_pd(x0, _mm256_mul_pd(t, vx)));
                    _mm256_storeu_pd(p + kWidth, _mm256_sub_pd(x1, _mm256_mul_pd(t, vy)));
                    _mm256_storeu_pd(p + 2 * kWidth, _mm256_sub_pd(x2, _mm256_mul_pd(t, vz)));
                }
                break;
            case RowOp::Kind::Two:
#pragma GCC unroll 4
                for (; v < kVecs; ++v) {
                    double* p = a + 4 * v;
                    const __m256d x0 = _mm256_loadu_pd(p);
                    const __m256d x1 = _mm256_loadu_pd(p + kWidth);
                    const __m256d t = _mm256_add_pd(x0, _mm256_mul_pd(vq, x1));
                    _mm256_storeu_pd(p, _mm256_sub_pd(x0, _mm256_mul_pd(t, vx)));
                    _mm256_storeu_pd(p + kWidth, _mm256_sub_pd(x1, _mm256_mul_pd(t, vy)));
                }
                break;
            case RowOp::Kind::Rotation:
#pragma GCC unroll 4
                for (; v < kVecs; ++v) {
                    double* p = a + 4 * v;
                    const __m256d x0 = _mm256_loadu_pd(p);
                    const __m256d x1 = _mm256_loadu_pd(p + kWidth);
                    _mm256_storeu_pd(p, _mm256_add_pd(_mm256_mul_pd(vq, x0), _mm256_mul_pd(vr, x1)));
                    _mm256_storeu_pd(p + kWidth, _mm256_sub_pd(_mm256_mul_pd(vq, x1), _mm256_mul_pd(vr, x0)));
                }
                break;
        }
    }
    CopyFromRows<kWidth>(scratch, rows, col, ld);
}

// ApplyToBlock with the operations of `ops` that reach any column of the
// block j .. j + 4 * kVecs - 1 from lane `lane0` on.
template <int kVecs>
void ApplyToBlockOf(Square& H, const std::vector<RowOp>& ops, std::size_t j, int64_t lane0,
                    std::vector<double>& scratch) {
    const int64_t last = static_cast<int64_t>(j) + 4 * kVecs - 1;
    const auto begin =
        std::partition_point(ops.begin(), ops.end(), [last](const RowOp& op) { return op.first > last; });
    if (begin == ops.end()) return;
    int32_t r0 = begin->k, r1 = begin->k;
    for (auto op = begin; op != ops.end(); ++op) {
        r0 = std::min(r0, op->k);
        r1 = std::max(r1, op->k + (op->kind == RowOp::Kind::Three ? 2 : 1));
    }
    const std::size_t need = static_cast<std::size_t>(r1 - r0 + 1) * 4 * kVecs;
    if (scratch.size() < need) scratch.resize(need);
    ApplyToBlock<kVecs>(H, j, lane0, ops.data() + (begin - ops.begin()), ops.data() + ops.size(), r0, r1,
                        scratch.data());
}
#endif

}  // namespace rowops

// Applies the operations of `ops` (in recorded order; their `first`
// columns never increase along the record) to the columns j0 .. j1-1 of H,
// each column receiving those whose `first` it reaches.
inline void ApplyRowOps(Square& H, const std::vector<RowOp>& ops, std::size_t j0, std::size_t j1) {
    if (ops.empty()) return;
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx) {
        thread_local std::vector<double> scratch;
        std::size_t j = j0;
        for (; j + 16 <= j1; j += 16) rowops::ApplyToBlockOf<4>(H, ops, j, 0, scratch);
        if (j + 8 <= j1) {
            rowops::ApplyToBlockOf<2>(H, ops, j, 0, scratch);
            j += 8;
        }
        if (j + 4 <= j1) {
            rowops::ApplyToBlockOf<1>(H, ops, j, 0, scratch);
            j += 4;
        }
        // The last one to three columns: a block ending at j1, reaching back
        // over columns already done, which it leaves alone.
        if (j < j1 && j1 - j0 >= 4) {
            rowops::ApplyToBlockOf<1>(H, ops, j1 - 4, static_cast<int64_t>(4 - (j1 - j)), scratch);
            j = j1;
        }
        j0 = j;
    }
#endif
    for (; j0 < j1; ++j0) {
        const auto own = std::partition_point(
            ops.begin(), ops.end(), [j0](const RowOp& op) { return op.first > static_cast<int64_t>(j0); });
        rowops::ApplyToColumn(H.Col(static_cast<int32_t>(j0)), ops.data() + (own - ops.begin()),
                              ops.data() + ops.size());
    }
}

// ApplyRowOps over the columns first .. last of H, split among threads;
// empties `ops`.
inline void ApplyRowOpsToColumns(Square& H, std::vector<RowOp>& ops, int32_t first, int32_t last) {
    if (!ops.empty() && first <= last) {
        detail::kernels::ParallelColumns(static_cast<std::size_t>(first), static_cast<std::size_t>(last) + 1,
                                         14.0 * static_cast<double>(ops.size()),
                                         [&](std::size_t j0, std::size_t j1) { ApplyRowOps(H, ops, j0, j1); });
    }
    ops.clear();
}

// The operations on the columns right of the active block, over many QR
// steps, until H is next read there (the back-substitution) or the record
// is full.
class RowOpLog {
public:
    // Room for everything recorded between two applications, so that
    // recording never allocates: one QR step adds at most `order` entries.
    void Reserve(int32_t order) {
        limit_ = kBaseOps + kOpsPerColumn * static_cast<std::size_t>(order);
        ops_.reserve(limit_ + static_cast<std::size_t>(order) + 1);
    }
    void Record(const RowOp& op) { ops_.push_back(op); }
    bool Full() const noexcept { return ops_.size() >= limit_; }

    // Applies the record to every column it reaches, up to column last.
    void Apply(Square& H, int32_t last) {
        if (ops_.empty()) return;
        ApplyRowOpsToColumns(H, ops_, ops_.back().first, last);
    }

private:
    static constexpr std::size_t kBaseOps = 256;
    static constexpr std::size_t kOpsPerColumn = 8;

    std::vector<RowOp> ops_;
    std::size_t limit_ = kBaseOps;
};

}  // namespace kestrim::detail::eigen
