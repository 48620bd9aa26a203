// Vector kernels of the eliminations. Each element is computed with one
// IEEE multiplication followed by one IEEE addition or subtraction (never
// fused), so a kernel gives the same bits as the plain scalar loop on every
// x86-64 CPU; only the number of independent elements handled per
// instruction varies. The element-wise kernels are the shared ones of
// decomp/Kernels.h (complete in that header, so nothing more is linked);
// they compute AddScaled's x[i] * f and Scale's x[i] * d with the factors
// swapped, which is the same IEEE product.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "core/DoubleArrayAccess.h"
#include "core/MatrixAccess.h"
#include "decomp/Kernels.h"
#include "ops/ProductKernel.h"

namespace kestrim::linsys {

using detail::WorkVector;

// Which row wins when two entries have the same magnitude: each elimination
// has its own rule.
enum class PivotTies { Last, First };

// The pivot search of the partial-pivoting eliminations: the row p in
// [first, n) whose entry in `column` (rows `ld` apart, row 0 at column[0])
// has the largest magnitude, `first` when none is larger than 0. `big`
// receives that magnitude; a NaN never wins (the comparisons are quiet and
// false for it).
template <PivotTies kTies>
std::size_t FindPivotInColumn(const double* column, std::size_t ld, std::size_t first, std::size_t n,
                              double& big) {
    // The winner of the scan in row order is the largest magnitude (a NaN
    // never wins) at its last row (kTies Last) or its first. The largest is
    // found with independent running maxima, which give the same value in
    // any order, and its row by a second scan from the deciding end. The
    // magnitudes are compared as integers, which order alike, so that no
    // comparison can raise a flag (vector maxima signal on NaNs).
    constexpr std::uint64_t kInfinity = 0x7ff0000000000000u;
    auto magnitude = [column, ld](std::size_t i) {
        return std::bit_cast<std::uint64_t>(column[i * ld]) & ~(std::uint64_t{1} << 63);
    };
    constexpr std::size_t kLanes = 4;
    std::uint64_t lane[kLanes] = {0, 0, 0, 0};
    std::size_t i = first;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t l = 0; l < kLanes; ++l) {
            const std::uint64_t v = magnitude(i + l);
            lane[l] = v <= kInfinity && v > lane[l] ? v : lane[l];
        }
    for (; i < n; ++i) {
        const std::uint64_t v = magnitude(i);
        lane[0] = v <= kInfinity && v > lane[0] ? v : lane[0];
    }
    const std::uint64_t largest = std::max(std::max(lane[0], lane[1]), std::max(lane[2], lane[3]));
    big = std::bit_cast<double>(largest);
    if constexpr (kTies == PivotTies::Last) {
        // With big == 0 the scan ends at the last row that is not a NaN.
        for (std::size_t r = n; r > first; --r)
            if (magnitude(r - 1) == largest) return r - 1;
    } else if (largest != 0) {
        for (std::size_t r = first; r < n; ++r)
            if (magnitude(r) == largest) return r;
    }
    return first;
}
// The same for column k of the row-major array a, from row k on.
template <PivotTies kTies>
std::size_t FindPivot(const double* a, std::size_t ld, std::size_t n, std::size_t k, double& big) {
    return FindPivotInColumn<kTies>(a + k, ld, k, n, big);
}

// The kernels use 256-bit instructions where the CPU has them. Passing
// true restricts them (the shared element-wise ones included) to the
// baseline x86-64 instructions; false restores the default. The results
// are the same bits either way; the tests check both.
void UseBaselineKernels(bool baseline) noexcept;

// y[i] = y[i] - f * x[i] for i in [0, n). x and y must not overlap.
inline void SubScaled(double* y, const double* x, double f, std::size_t n) noexcept {
    detail::kernels::SubScaled(y, x, f, n);
}
// Subtracts products one at a time, in increasing k:
//   c(i, j) = c(i, j) - a(i, k) * b(k, j) for k = 0, 1, ..., depth - 1
// for rows i in [0, m) and columns j in [0, cols). Rows are contiguous:
// c(i, j) at c[i * ldc + j], a(i, k) at a[i * lda + k], b(k, j) at
// b[k * ldb + j]. The three ranges must not overlap.
// The work is shared among threads by columns when it is large enough.
void SubProducts(double* c, std::size_t ldc, const double* a, std::size_t lda, const double* b,
                 std::size_t ldb, std::size_t m, std::size_t cols, std::size_t depth);

// The packed product kernel the eliminations use (the baseline one while
// UseBaselineKernels(true) is in force).
const detail::product::Kernel& ProductKernel() noexcept;
// x[i] = x[i] * d for i in [0, n).
inline void Scale(double* x, double d, std::size_t n) noexcept { detail::kernels::Scale(x, d, n); }
// y[i] = y[i] + x[i] * f for i in [0, n). x and y must not overlap.
inline void AddScaled(double* y, const double* x, double f, std::size_t n) noexcept {
    detail::kernels::Axpy(y, x, f, n);
}

// Row stride for a row-major work array of `width` columns: widths that
// are multiples of eight get one cache line of padding, so that the rows
// of a column do not all fall into the same cache sets.
inline std::size_t PaddedStride(std::size_t width) noexcept {
    return width % 8 == 0 ? width + 8 : width;
}

// A row-major n x n copy of a column-major array, rows `ld` apart (ld >= n;
// padding is zero).
WorkVector RowMajorCopy(const DoubleArray& source, std::size_t n, std::size_t ld);
inline WorkVector RowMajorCopy(const DoubleArray& source, std::size_t n) {
    return RowMajorCopy(source, n, n);
}

// The work array an operation started from, for replaying it after a
// fault. The receiver only changes while one of its handlers runs, so the
// copy is taken just before the first event; until then it is rebuilt
// from the receiver on demand.
class InitialState {
public:
    explicit InitialState(std::function<WorkVector()> build) : build_(std::move(build)) {}
    void Keep() {
        if (!kept_) {
            rows_ = build_();
            kept_ = true;
        }
    }
    WorkVector Get() const { return kept_ ? rows_ : build_(); }

private:
    std::function<WorkVector()> build_;
    WorkVector rows_;
    bool kept_ = false;
};
// Raises OnProgress for step `step` of `n` when the object's events are on
// at this moment. Returns true when a handler asked to cancel. The caller
// has verified that no fault is pending.
inline bool Progress(Matrix& m, const char* operation, int32_t step, int32_t n, bool& cancel) {
    if (!detail::MatrixAccess::EventsEnabled(m)) return false;
    return detail::MatrixAccess::RaiseOnProgress(m, operation, detail::ProgressPercent(step, n),
                                                 cancel);
}

// The same, keeping the initial state before a handler can change the receiver.
inline bool Progress(Matrix& m, const char* operation, int32_t step, int32_t n, bool& cancel,
                     InitialState& initial) {
    if (!detail::MatrixAccess::EventsEnabled(m)) return false;
    initial.Keep();
    return detail::MatrixAccess::RaiseOnProgress(m, operation, detail::ProgressPercent(step, n),
                                                 cancel);
}

// Raises Done when the object's events are on at this moment.
inline void Finish(Matrix& m, const char* operation) {
    if (detail::MatrixAccess::EventsEnabled(m)) detail::MatrixAccess::RaiseDone(m, operation);
}

// Stores the result of one checked scalar step and tests it for a fault.
inline void Checked() { fp::TestStep(); }

// Raises the fault recorded in `flags` when a replay could not pin it to a
// step (it cannot happen when the replay repeats the same arithmetic).
[[noreturn]] inline void RaiseRecordedFault(int flags) {
    if ((flags & fp::kFaultFlags) == 0) flags = FE_INVALID;
    fp::RaiseFault(flags);
}

// Replays an elimination on `w` (its initial array) one step at a time with
// step(w, s) for s = 0, 1, ..., testing the flags after each, and returns
// the first step that raised a fault, leaving `w` as it stood before that
// step. Returns `steps` when none did. For the blocked eliminations, whose
// flags cover several steps at once.
template <class Step>
std::size_t FindFaultingStep(WorkVector& w, std::size_t steps, Step&& step) {
    fp::ClearFlags();
    WorkVector before;
    for (std::size_t s = 0; s < steps; ++s) {
        before = w;
        step(w, s);
        if (fp::HasFault()) {
            w.swap(before);
            fp::ClearFlags();
            return s;
        }
    }
    return steps;
}

// The row operations of a panel of elimination steps s = 0 .. steps-1,
// recorded while the panel's own columns were reduced, to be applied to
// the rest of the rows afterwards. In scalar order step s interchanges rows
// `first` + s and swaps[s], multiplies that (pivot) row by scales[s] (when
// scales is not null), and subtracts f(i, s) times the pivot row from each
// row i it eliminates, f(i, s) = mult[i * ldm + s] (rows numbered after the
// interchanges), except where skip[i * ldm + s] is nonzero (when skip is
// not null): those rows are left alone by that step.
struct PanelSteps {
    std::size_t first = 0;
    std::size_t steps = 0;
    const std::size_t* swaps = nullptr;
    const double* scales = nullptr;
    const double* mult = nullptr;
    std::size_t ldm = 0;
    const unsigned char* skip = nullptr;
    // Gauss-Jordan: a pivot row is eliminated by the later steps too.
    bool pivotRowsTakeLaterSteps = false;
};
// Rows [begin, end) that the steps eliminate, besides the pivot rows.
struct RowRange {
    std::size_t begin, end;
};

// Applies the panel's steps to the columns [0, width) of the row-major
// array t (rows ld apart): every element receives exactly the operations
// of the scalar order, in that order. The pivot rows are formed one after
// the other; the other rows take all steps at once through the product
// kernels (rows with a skipped step one step at a time). Columns are
// shared among threads when the work is large enough.
void ApplyPanel(double* t, std::size_t ld, std::size_t width, const PanelSteps& panel,
                const RowRange* others, std::size_t nothers);

// Steps per panel of the blocked eliminations.
inline constexpr std::size_t kPanelSteps = 48;

// The own columns of a panel of elimination steps, kept column-major
// (columns `ld` apart, indexed by the rows of the work array), so that the
// pivot search and every step's updates run down contiguous columns, with
// what each step records: its multipliers (column s for step s) and, for
// the eliminations that leave rows alone, which rows it skips.
class ColumnPanel {
public:
    // Room for `columns` columns and what `steps` steps record.
    ColumnPanel(std::size_t rows, std::size_t columns, std::size_t steps)
        : ld_(PaddedStride(rows)), columns_(columns * ld_), multipliers_(steps * ld_),
          skips_(std::make_unique<unsigned char[]>(steps * ld_)) {}

    double* Column(std::size_t j) { return columns_.Data() + j * ld_; }
    double* Multipliers(std::size_t s) { return multipliers_.data() + s * ld_; }
    unsigned char* Skips(std::size_t s) { return skips_.get() + s * ld_; }

    // Columns [c0, c1) of the rows [r0, r1) of the row-major array a (rows
    // lda apart) into the panel's columns 0, 1, ...
    void Load(const double* a, std::size_t lda, std::size_t r0, std::size_t r1, std::size_t c0, std::size_t c1);
    // Interchanges rows k and p in the panel's columns [c0, c1) and in what
    // the steps before s recorded.
    void Interchange(std::size_t k, std::size_t p, std::size_t c0, std::size_t c1, std::size_t s,
                     bool withSkips);
    // What steps [0, steps) recorded for the rows [r0, r1), row-major as
    // PanelSteps takes it: row i's entry of step s at i * kPanelSteps + s.
    void Record(std::size_t r0, std::size_t r1, std::size_t steps, double* mult, unsigned char* skip);

private:
    std::size_t ld_;
    detail::WorkBuffer columns_;  // written before it is read
    WorkVector multipliers_;
    std::unique_ptr<unsigned char[]> skips_;
};

// The runs of consecutive rows in [r0, r1), other than `except`, that
// `skips` does not mark: each is one contiguous stretch of every column's
// update.
void UnskippedRuns(const unsigned char* skips, std::size_t r0, std::size_t r1, std::size_t except,
                   std::vector<RowRange>& runs);

// column[i] = column[i] - f[i] * pivot for the rows of `runs`, the IEEE
// product f[i] * pivot being the same as pivot * f[i].
inline void SubScaledRuns(double* column, const double* f, double pivot, const std::vector<RowRange>& runs) {
    for (const RowRange& r : runs) SubScaled(column + r.begin, f + r.begin, pivot, r.end - r.begin);
}

}  // namespace kestrim::linsys
