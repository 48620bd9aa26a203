// Cholesky: A = L * L^T, column by column, reading the receiver in place.
//
// The factor is kept column-major, so the sums of a column's rows are
// accumulated for all rows at once, one earlier column at a time (each
// row's sum still adds its products in increasing k). The receiver is read
// where it lies: after every event it is checked again, and when a handler
// has left it smaller than the factorisation needs, the remaining columns
// run element by element with every read checked, so the first read
// outside the storage raises the subscript error at its own place. The
// rows of the receiver that a block of columns reads across (the elements
// above the diagonal) are gathered once per block into contiguous rows, and
// gathered again after every event, as a handler may have changed them.
#include <algorithm>
#include <cmath>
#include <memory>

#include "core/DoubleArrayAccess.h"
#include "host/runtime/Parallel.h"
#include "linsys/Combination.h"
#include "linsys/Kernels.h"
#include "linsys/PackedRight.h"

namespace kestrim {

using detail::kSource;
using detail::MatrixAccess;
using detail::RaiseMatrixError;

namespace {

constexpr int32_t kHelp = 1128;

[[noreturn]] void RaiseNotPositiveDefinite() {
    RaiseMatrixError(14, kSource, "Not a symmetric positive definite matrix.", kHelp);
}

// The radicand failure also empties the caller's reference.
[[noreturn]] void RaiseRadicandFailure(MatrixPtr* l) {
    if (l != nullptr) *l = nullptr;
    RaiseNotPositiveDefinite();
}

// Column j with every read of the receiver checked and every stored result
// tested at once.
void CheckedColumn(const Matrix& receiver, double* c, std::size_t n, std::size_t j, MatrixPtr* l) {
    auto read = [&receiver](std::size_t r, std::size_t col) {
        if (!MatrixAccess::Covers(receiver, static_cast<int64_t>(r) + 1,
                                  static_cast<int64_t>(col) + 1))
            RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
        return MatrixAccess::GetElement(receiver, static_cast<int32_t>(r),
                                        static_cast<int32_t>(col));
    };
    double s = 0.0;
    for (std::size_t k = 0; k < j; ++k) {
        s = s + c[k * n + j] * c[k * n + j];
        fp::TestStep();
    }
    const double d = read(j, j) - s;
    fp::TestStep();
    if (!std::isgreater(d, 0.0)) RaiseRadicandFailure(l);
    const double pivot = std::sqrt(d);
    fp::TestStep();
    c[j * n + j] = pivot;
    for (std::size_t i = j + 1; i < n; ++i) {
        if (read(i, j) != read(j, i)) RaiseNotPositiveDefinite();
        s = 0.0;
        for (std::size_t k = 0; k < j; ++k) {
            s = s + c[k * n + i] * c[k * n + j];
            fp::TestStep();
        }
        c[j * n + i] = (read(j, i) - s) / pivot;
        fp::TestStep();
    }
}

// Columns per block: the sums of a block's columns over the factor's
// earlier columns are formed together by the product kernels.
constexpr std::size_t kBlock = 64;
// Columns per sub-block: the sums over a block's earlier sub-blocks are
// continued by the product kernels too.
constexpr std::size_t kSub = 8;

// Continues the running sums of the block [j0, j1) (see BlockSums) for its
// columns [b0, j1) and rows [b0, n) over the steps k in [k0, b0), in
// increasing k: sums(i, j) = sums(i, j) + c(i, k) * c(j, k). `packed` holds
// n * kBlock doubles.
void ContinueSums(const double* c, std::size_t n, std::size_t j0, std::size_t k0, std::size_t b0,
                  std::size_t j1, double* sums, double* packed) {
    if (b0 == k0 || b0 == j1) return;
    const std::size_t rows = n - b0, cols = j1 - b0, depth = b0 - k0, ld = n - j0;
    const auto& kernel = linsys::ProductKernel();
    // The right operand, (k, j) = c(b0 + j, k0 + k): its rows are pieces of
    // the factor's columns, packed straight from there.
    linsys::PackRightFromRows(c + k0 * n + b0, n, depth, cols, static_cast<std::size_t>(kernel.nr), packed);
    const auto kk = static_cast<int32_t>(depth), q = static_cast<int32_t>(cols);
    // Row i of the result is row b0 + i of the block's columns [b0, j1).
    double* result = sums + (b0 - j0) * ld + (b0 - j0);
    constexpr int64_t kGroup = 24;
    const auto groups = static_cast<int64_t>((rows + kGroup - 1) / kGroup);
    detail::ParallelForWork(groups, 2.0 * static_cast<double>(rows * cols * depth), [&](int64_t g0, int64_t g1) {
        double* work = detail::ThreadScratch(kernel.workSize);
        const auto i0 = static_cast<int32_t>(g0 * kGroup);
        const auto i1 = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(rows), g1 * kGroup));
        kernel.multiplyRows(c + k0 * n + b0, n, i0, i1, kk, packed, q, result, ld, work);
    });
}

// For the block of columns [j0, j1): sums(i, j) = 0 + c(i, 0) * c(j, 0) +
// ... + c(i, j0 - 1) * c(j, j0 - 1), in increasing k, for rows i in
// [j0, n); column-major, column j - j0 at (j - j0) * (n - j0). These are the
// first j0 steps of each running sum of those columns (rows above a
// column's diagonal give the sums of the transposed pair, the same
// products and additions).
void BlockSums(const double* c, std::size_t n, std::size_t j0, std::size_t j1, double* sums,
               double* packed) {
    std::fill_n(sums, (n - j0) * (j1 - j0), 0.0);
    ContinueSums(c, n, j0, 0, j0, j1, sums, packed);
}

// The first i in [begin, n) where x[i] differs from y[i] (an exact, quiet
// comparison), n when there is none.
std::size_t FirstDifference(const double* x, const double* y, std::size_t begin, std::size_t n) {
    std::size_t i = begin;
#ifdef KESTRIM_DECOMP_SSE2
    for (; i + 4 <= n; i += 4) {
        const __m128d low = _mm_cmpeq_pd(_mm_loadu_pd(x + i), _mm_loadu_pd(y + i));
        const __m128d high = _mm_cmpeq_pd(_mm_loadu_pd(x + i + 2), _mm_loadu_pd(y + i + 2));
        if (_mm_movemask_pd(_mm_and_pd(low, high)) != 3) break;
    }
#endif
    while (i < n && x[i] == y[i]) ++i;
    return i;
}

#if KESTRIM_DECOMP_AVX
__attribute__((target("avx512f"))) void SubtractDivideAvx512(double* out, const double* x,
                                                             const double* y, double d, std::size_t n) {
    std::size_t i = 0;
    const __m512d vd = _mm512_set1_pd(d);
    for (; i + 8 <= n; i += 8)
        _mm512_storeu_pd(out + i, _mm512_div_pd(_mm512_sub_pd(_mm512_loadu_pd(x + i), _mm512_loadu_pd(y + i)), vd));
    for (; i < n; ++i) out[i] = (x[i] - y[i]) / d;
}

__attribute__((target("avx"))) void SubtractDivideAvx(double* out, const double* x, const double* y,
                                                      double d, std::size_t n) {
    std::size_t i = 0;
    const __m256d vd = _mm256_set1_pd(d);
    for (; i + 4 <= n; i += 4)
        _mm256_storeu_pd(out + i, _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(x + i), _mm256_loadu_pd(y + i)), vd));
    for (; i < n; ++i) out[i] = (x[i] - y[i]) / d;
}
#endif

// out[i] = (x[i] - y[i]) / d for i in [0, n), as many elements per
// instruction as the processor allows (divisions are slow, and each is
// exact whatever the width).
void SubtractDivide(double* out, const double* x, const double* y, double d, std::size_t n) {
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx && n >= detail::kernels::kAvxMinLength) {
        if (linsys::combination::hasAvx512) return SubtractDivideAvx512(out, x, y, d, n);
        return SubtractDivideAvx(out, x, y, d, n);
    }
#endif
    std::size_t i = 0;
#ifdef KESTRIM_DECOMP_SSE2
    const __m128d vd = _mm_set1_pd(d);
    for (; i + 2 <= n; i += 2)
        _mm_storeu_pd(out + i, _mm_div_pd(_mm_sub_pd(_mm_loadu_pd(x + i), _mm_loadu_pd(y + i)), vd));
#endif
    for (; i < n; ++i) out[i] = (x[i] - y[i]) / d;
}

// Column j when the receiver covers the whole n x n range, continuing the
// block's sums (BlockSums) over the columns [j0, j): the same steps as
// CheckedColumn, faults tested where a decision or an error depends on
// them. Returns false when flags were found: the column has then been
// computed again by CheckedColumn (which raises the first fault when the
// column has one), and the flags may have come from a later column's sums.
// The sums of column j have been continued up to step b0 (ContinueSums);
// rowJ[i] is A(j, j + 1 + i), the receiver's row j right of the diagonal
// (GatherRows).
bool FastColumn(const Matrix& receiver, double* c, double* acc, const double* sums,
                const double* rowJ, std::size_t n,
                std::size_t j0, std::size_t b0, std::size_t j, MatrixPtr* l) {
    const DoubleArray& e = MatrixAccess::Elements(receiver);
    const double* A = e.Data();
    const std::size_t ld = e.Stride();
    const double* blockSums = sums + (j - j0) * (n - j0) - j0;  // indexed by row

    double s = blockSums[j];
    for (std::size_t k = b0; k < j; ++k) s = s + c[k * n + j] * c[k * n + j];
    const double d = A[j * ld + j] - s;
    if (fp::HasFault()) {
        fp::ClearFlags();
        CheckedColumn(receiver, c, n, j, l);
        return false;
    }
    if (!std::isgreater(d, 0.0)) RaiseRadicandFailure(l);
    const double pivot = std::sqrt(d);
    c[j * n + j] = pivot;

    // Rows up to the first asymmetric pair; that pair's error comes after them.
    const std::size_t first = j + 1;
    const std::size_t end = first + FirstDifference(A + j * ld + first, rowJ, 0, n - first);
    if (end > first) {
        const std::size_t count = end - first;
        double* a = acc + first;
        std::copy_n(blockSums + first, count, a);
        const double* earlier[kSub];  // the sub-block's columns before j, from row `first` on
        double factors[kSub];
        for (std::size_t k = b0; k < j; ++k) {
            earlier[k - b0] = c + k * n + first;
            factors[k - b0] = c[k * n + j];
        }
        linsys::AddCombination(a, earlier, factors, j - b0, count);
        double* out = c + j * n;
        SubtractDivide(out + first, rowJ, a, pivot, count);
        if (fp::HasFault()) {
            fp::ClearFlags();
            CheckedColumn(receiver, c, n, j, l);
            return false;
        }
    }
    if (end < n) RaiseNotPositiveDefinite();
    return true;
}

// The receiver's rows [r0, r1) over the columns [c0, n), as contiguous rows
// PaddedStride(n - c0) apart: rows[(r - c0) * that + (i - c0)] = A(r, i),
// the block's rows numbered from c0. The receiver covers n x n.
void GatherRows(const Matrix& receiver, std::size_t c0, std::size_t r0, std::size_t r1,
                std::size_t n, double* rows) {
    const DoubleArray& e = MatrixAccess::Elements(receiver);
    const double* A = e.Data();
    const std::size_t ld = e.Stride(), width = linsys::PaddedStride(n - c0);
    // Column by column: a column's piece is one contiguous run (a few cache
    // lines), requested a few columns ahead so that the loads of several
    // columns overlap; the destination lines of consecutive columns are the
    // same few, and stay in cache meanwhile.
    constexpr std::size_t kAhead = 8;
    double* out = rows - c0 * width - c0;  // out[r * width + i] is row r, column i
    for (std::size_t i = c0; i < n; ++i) {
        if (i + kAhead < n) {
            const double* ahead = A + (i + kAhead) * ld;
            for (std::size_t r = r0; r < r1; r += 8) __builtin_prefetch(ahead + r);
            __builtin_prefetch(ahead + r1 - 1);
        }
        const double* col = A + i * ld;
        for (std::size_t r = r0; r < r1; ++r) out[r * width + i] = col[r];
    }
}

// The work arrays of one factorisation, parts of one array obtained once.
struct Workspace {
    explicit Workspace(std::size_t n)
        : storage(detail::DoubleArrayAccess::Work(n + 2 * n * kBlock + kBlock * linsys::PaddedStride(n))),
          acc(storage.Data()),
          sums(acc + n),
          packed(sums + n * kBlock),
          rows(packed + n * kBlock) {}

    DoubleArray storage;
    double* acc;     // n: one column's running sums
    double* sums;    // (n - j0) x kBlock: a block's running sums (BlockSums)
    double* packed;  // n * kBlock: a packed right operand (ContinueSums)
    double* rows;    // kBlock rows PaddedStride(n - j0) apart (GatherRows)
};

}  // namespace

void Matrix::Cholesky(MatrixPtr* l) try {
    detail::OperationScope scope(*this);
    if (LastRow != LastCol)
        RaiseMatrixError(5, kSource, "This operation is possible only for a square Matrix.", kHelp);
    RequireStorage();
    const int32_t n = LastRow + 1;
    const auto size = static_cast<std::size_t>(n);

    // The factor's elements above the diagonal are zero; those on and
    // below it are all computed before the caller can see the array.
    DoubleArray factor = detail::DoubleArrayAccess::ForOverwrite2D(n - 1, n - 1);
    double* c = factor.Data();
    for (std::size_t j = 1; j < size; ++j) std::fill_n(c + j * size, j, 0.0);
    const Workspace work(size);
    bool cancel = false;
    for (std::size_t j0 = 0; j0 < size; j0 += kBlock) {
        const std::size_t j1 = std::min(size, j0 + kBlock);
        // The gathered rows lie `width` apart, padded so that the lines a
        // column of them falls into do not share cache sets.
        const std::size_t width = linsys::PaddedStride(size - j0);
        BlockSums(c, size, j0, j1, work.sums, work.packed);
        bool gathered = false;  // rows [j, j1) of `rows` hold the receiver's current values
        // After flags in a block, its remaining columns are computed step
        // by step, as the flags may belong to any of them.
        bool checked = false;
        std::size_t sub = j0;  // the sums of the columns from `sub` on reach step `sub`
        for (std::size_t j = j0; j < j1; ++j) {
            if (checked || !MatrixAccess::Covers(*this, n, n)) {
                CheckedColumn(*this, c, size, j, l);
            } else {
                if (!gathered) GatherRows(*this, j0, j, j1, size, work.rows);
                gathered = true;
                // Sub-blocks of kSub columns take the sums over the block's
                // earlier columns through the product kernel as well.
                if ((j - j0) % kSub == 0) {
                    ContinueSums(c, size, j0, sub, j, j1, work.sums, work.packed);
                    sub = j;
                }
                // The receiver's next column below the diagonal, which the
                // next symmetry test reads, is requested while this one is
                // formed.
                if (j + 1 < size) {
                    const DoubleArray& e = Elements;
                    const double* next = e.Data() + (j + 1) * e.Stride();
                    for (std::size_t i = j + 2; i < size; i += 8) __builtin_prefetch(next + i);
                }
                checked = !FastColumn(*this, c, work.acc, work.sums, work.rows + (j - j0) * width + (j + 1 - j0),
                                      size, j0, sub, j, l);
            }
            // A handler may change the receiver.
            if (MatrixAccess::EventsEnabled(*this)) gathered = false;
            if (linsys::Progress(*this, "Cholesky", static_cast<int32_t>(j), n, cancel)) return;
        }
    }
    if (l != nullptr && *l) MatrixAccess::SetData(**l, std::move(factor));
    linsys::Finish(*this, "CHOLdc");
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::CHOLdc(MatrixPtr* l) { Cholesky(l); }

}  // namespace kestrim
