#include "linsys/Kernels.h"

#include <algorithm>
#include <memory>

#include "core/DoubleArrayAccess.h"
#include "host/runtime/Parallel.h"

namespace kestrim::linsys {

namespace {

bool baselineOnly = false;

}  // namespace

void UseBaselineKernels(bool baseline) noexcept {
    baselineOnly = baseline;
#if KESTRIM_DECOMP_AVX
    // The shared element-wise kernels have their own switch.
    detail::kernels::useAvx = !baseline && detail::kernels::DetectAvx();
#endif
}

const detail::product::Kernel& ProductKernel() noexcept {
    return baselineOnly ? detail::product::Sse2Kernel() : detail::product::SelectKernel();
}

void SubProducts(double* c, std::size_t ldc, const double* a, std::size_t lda, const double* b,
                 std::size_t ldb, std::size_t m, std::size_t cols, std::size_t depth) {
    if (m == 0 || cols == 0 || depth == 0) return;
    // The product kernels work on column-major operands: seen that way, the
    // row-major c is its transpose, cols x m with column stride ldc, and
    // c^T = c^T - b^T * a^T, where b^T is column-major with stride ldb and
    // a^T is packed like the right operand of a product. Each product
    // b(k, j) * a(i, k) is the same IEEE product as a(i, k) * b(k, j).
    const detail::product::Kernel& kernel = ProductKernel();
    const auto rows = static_cast<int32_t>(m), width = static_cast<int32_t>(cols),
               n = static_cast<int32_t>(depth);
    // Work arrays are written before they are read: no zero fill.
    DoubleArray packedStorage = detail::DoubleArrayAccess::Work(m * depth);
    double* const packed = packedStorage.Data();
    kernel.packB(a, lda, n, rows, packed);
    // Threads take contiguous ranges of the columns, in whole groups of a
    // multiple of every kernel's tile height.
    constexpr int32_t kGroup = 24;
    const int64_t groups = (width + kGroup - 1) / kGroup;
    const double work = 2.0 * static_cast<double>(m) * static_cast<double>(cols) * static_cast<double>(depth);
    detail::ParallelForWork(groups, work, [&](int64_t g0, int64_t g1) {
        double* buffer = detail::ThreadScratch(kernel.workSize);
        const auto begin = static_cast<int32_t>(g0 * kGroup);
        const auto end = static_cast<int32_t>(std::min<int64_t>(width, g1 * kGroup));
        kernel.subtractRows(b, ldb, begin, end, n, packed, rows, c, ldc, buffer);
    });
}

namespace {

bool Skips(const PanelSteps& panel, std::size_t row, std::size_t step) {
    return panel.skip != nullptr && panel.skip[row * panel.ldm + step] != 0;
}

bool AnySkip(const PanelSteps& panel, std::size_t row, std::size_t e0, std::size_t e1) {
    if (panel.skip == nullptr) return false;
    const unsigned char* flags = panel.skip + row * panel.ldm;
    return std::any_of(flags + e0, flags + e1, [](unsigned char f) { return f != 0; });
}

bool AnySkip(const PanelSteps& panel, std::size_t row) { return AnySkip(panel, row, 0, panel.steps); }

// Below this many steps the pivot rows take their steps one at a time.
constexpr std::size_t kDirectSteps = 8;
// Columns per thread's share of the one-at-a-time updates.
constexpr int64_t kColumnGroup = 64;

// Runs body(j0, j1) over the columns [0, width) in groups, among threads
// when `work` (floating-point operations) is large enough.
template <class Body>
void ForColumnGroups(std::size_t width, double work, Body&& body) {
    const auto groups = static_cast<int64_t>((width + kColumnGroup - 1) / kColumnGroup);
    detail::ParallelForWork(groups, work, [&](int64_t g0, int64_t g1) {
        body(static_cast<std::size_t>(g0 * kColumnGroup),
             std::min(width, static_cast<std::size_t>(g1 * kColumnGroup)));
    });
}

// The pivot rows of a panel and the array they are applied to.
struct PivotRows {
    const PanelSteps& panel;
    double* pivots;  // row s: the pivot row of step s as it stood at that step
    std::size_t ldp;
    std::size_t width;

    const double* Mult(std::size_t s) const { return panel.mult + (panel.first + s) * panel.ldm; }

    // Subtracts steps [e0, e1) from the rows [r0, r1) of c (rows ldc apart,
    // row r of c for pivot row r), each element in increasing step order:
    // through the product kernels unless a row skips one of the steps.
    void SubtractSteps(double* c, std::size_t ldc, std::size_t r0, std::size_t r1, std::size_t e0,
                       std::size_t e1) const {
        bool skips = false;
        for (std::size_t r = r0; r < r1 && !skips; ++r) skips = AnySkip(panel, panel.first + r, e0, e1);
        if (!skips) {
            SubProducts(c + r0 * ldc, ldc, Mult(r0) + e0, panel.ldm, pivots + e0 * ldp, ldp, r1 - r0, width,
                        e1 - e0);
            return;
        }
        const double work = 2.0 * static_cast<double>((r1 - r0) * (e1 - e0)) * static_cast<double>(width);
        ForColumnGroups(width, work, [&](std::size_t j0, std::size_t j1) {
            for (std::size_t r = r0; r < r1; ++r)
                for (std::size_t e = e0; e < e1; ++e)
                    if (!Skips(panel, panel.first + r, e))
                        SubScaled(c + r * ldc + j0, pivots + e * ldp + j0, Mult(r)[e], j1 - j0);
        });
    }

    // Forms the pivot rows [lo, hi), which have taken the steps before lo:
    // each takes the steps [lo, s) of its fellow rows, then its scale.
    // Halves of the range are formed in turn, the second half taking the
    // first half's steps at once between them.
    void Form(std::size_t lo, std::size_t hi) const {
        if (hi - lo > kDirectSteps) {
            const std::size_t mid = lo + (hi - lo) / 2;
            Form(lo, mid);
            SubtractSteps(pivots, ldp, mid, hi, lo, mid);
            Form(mid, hi);
            return;
        }
        const double work = static_cast<double>((hi - lo) * (hi - lo)) * static_cast<double>(width);
        ForColumnGroups(width, work, [&](std::size_t j0, std::size_t j1) {
            for (std::size_t s = lo; s < hi; ++s) {
                double* p = pivots + s * ldp + j0;
                for (std::size_t e = lo; e < s; ++e)
                    if (!Skips(panel, panel.first + s, e)) SubScaled(p, pivots + e * ldp + j0, Mult(s)[e], j1 - j0);
                if (panel.scales != nullptr) Scale(p, panel.scales[s], j1 - j0);
            }
        });
    }

    // Gauss-Jordan: the pivot rows [lo, hi) of t (rows ld apart, pivot row s
    // at row first + s) take the later steps (s, hi) of their fellow rows,
    // the first half before the second half's steps.
    void TakeLaterSteps(double* t, std::size_t ld, std::size_t lo, std::size_t hi) const {
        double* rows = t + panel.first * ld;
        if (hi - lo > kDirectSteps) {
            const std::size_t mid = lo + (hi - lo) / 2;
            TakeLaterSteps(t, ld, lo, mid);
            SubtractSteps(rows, ld, lo, mid, mid, hi);
            TakeLaterSteps(t, ld, mid, hi);
            return;
        }
        const double work = static_cast<double>((hi - lo) * (hi - lo)) * static_cast<double>(width);
        ForColumnGroups(width, work, [&](std::size_t j0, std::size_t j1) {
            for (std::size_t s = lo; s < hi; ++s)
                for (std::size_t e = s + 1; e < hi; ++e)
                    if (!Skips(panel, panel.first + s, e))
                        SubScaled(rows + s * ld + j0, pivots + e * ldp + j0, Mult(s)[e], j1 - j0);
        });
    }
};

}  // namespace

void ApplyPanel(double* t, std::size_t ld, std::size_t width, const PanelSteps& panel,
                const RowRange* others, std::size_t nothers) {
    const std::size_t steps = panel.steps, first = panel.first, ldm = panel.ldm;
    if (width == 0 || steps == 0) return;
    // The pivot rows as they stood at their own steps: row first + s after
    // the earlier steps' subtractions, times its scale. Written before read.
    const std::size_t ldp = PaddedStride(width);
    DoubleArray pivotStorage = detail::DoubleArrayAccess::Work(steps * ldp);
    double* const pivotData = pivotStorage.Data();
    ForColumnGroups(width, static_cast<double>(steps * width), [&](std::size_t j0, std::size_t j1) {
        for (std::size_t s = 0; s < steps; ++s) {
            const std::size_t row = first + s;
            if (panel.swaps[s] != row)
                std::swap_ranges(t + row * ld + j0, t + row * ld + j1, t + panel.swaps[s] * ld + j0);
            std::copy(t + row * ld + j0, t + row * ld + j1, pivotData + s * ldp + j0);
        }
    });
    const PivotRows rows{panel, pivotData, ldp, width};
    rows.Form(0, steps);
    // The pivot rows' own results: as formed, then (Gauss-Jordan) the later
    // steps' subtractions.
    ForColumnGroups(width, static_cast<double>(steps * width), [&](std::size_t j0, std::size_t j1) {
        for (std::size_t s = 0; s < steps; ++s)
            std::copy(pivotData + s * ldp + j0, pivotData + s * ldp + j1, t + (first + s) * ld + j0);
    });
    if (panel.pivotRowsTakeLaterSteps) rows.TakeLaterSteps(t, ld, 0, steps);
    // Every other row takes all the steps' subtractions, in order: runs of
    // rows that skip no step through the product kernels, the others one
    // step at a time.
    auto block = [&](std::size_t begin, std::size_t end) {
        if (end > begin)
            SubProducts(t + begin * ld, ld, panel.mult + begin * ldm, ldm, pivotData, ldp,
                        end - begin, width, steps);
    };
    for (std::size_t r = 0; r < nothers; ++r) {
        std::size_t runStart = others[r].begin;
        for (std::size_t i = others[r].begin; i < others[r].end; ++i) {
            if (!AnySkip(panel, i)) continue;
            block(runStart, i);
            runStart = i + 1;
            double* row = t + i * ld;
            const double* fs = panel.mult + i * ldm;
            for (std::size_t e = 0; e < steps; ++e)
                if (!Skips(panel, i, e)) SubScaled(row, pivotData + e * ldp, fs[e], width);
        }
        block(runStart, others[r].end);
    }
}

void ColumnPanel::Load(const double* a, std::size_t lda, std::size_t r0, std::size_t r1, std::size_t c0,
                       std::size_t c1) {
    constexpr std::size_t kTile = 8;  // rows per pass: each column gets whole cache lines
    for (std::size_t i0 = r0; i0 < r1; i0 += kTile) {
        const std::size_t i1 = std::min(r1, i0 + kTile);
        for (std::size_t j = c0; j < c1; ++j) {
            double* column = Column(j - c0);
            for (std::size_t i = i0; i < i1; ++i) column[i] = a[i * lda + j];
        }
    }
}

void ColumnPanel::Interchange(std::size_t k, std::size_t p, std::size_t c0, std::size_t c1, std::size_t s,
                              bool withSkips) {
    for (std::size_t j = c0; j < c1; ++j) std::swap(Column(j)[k], Column(j)[p]);
    for (std::size_t e = 0; e < s; ++e) {
        std::swap(Multipliers(e)[k], Multipliers(e)[p]);
        if (withSkips) std::swap(Skips(e)[k], Skips(e)[p]);
    }
}

void ColumnPanel::Record(std::size_t r0, std::size_t r1, std::size_t steps, double* mult, unsigned char* skip) {
    constexpr std::size_t kTile = 8;
    for (std::size_t i0 = r0; i0 < r1; i0 += kTile) {
        const std::size_t i1 = std::min(r1, i0 + kTile);
        for (std::size_t s = 0; s < steps; ++s) {
            const double* f = Multipliers(s);
            for (std::size_t i = i0; i < i1; ++i) mult[i * kPanelSteps + s] = f[i];
            if (skip == nullptr) continue;
            const unsigned char* marks = Skips(s);
            for (std::size_t i = i0; i < i1; ++i) skip[i * kPanelSteps + s] = marks[i];
        }
    }
}

void UnskippedRuns(const unsigned char* skips, std::size_t r0, std::size_t r1, std::size_t except,
                   std::vector<RowRange>& runs) {
    runs.clear();
    std::size_t begin = r0;
    for (std::size_t i = r0; i < r1; ++i) {
        if (i != except && skips[i] == 0) continue;
        if (i > begin) runs.push_back({begin, i});
        begin = i + 1;
    }
    if (r1 > begin) runs.push_back({begin, r1});
}

WorkVector RowMajorCopy(const DoubleArray& source, std::size_t n, std::size_t ld) {
    WorkVector rows(n * ld);
    const double* src = source.Data();
    const std::size_t stride = source.Stride();
    // Blocked transpose keeps both sides cache-resident. Tiles of 8 x 8: with
    // power-of-two strides a tile's lines share cache sets, and eight of
    // them still fit.
    constexpr std::size_t kTile = 8;
    for (std::size_t i0 = 0; i0 < n; i0 += kTile)
        for (std::size_t j0 = 0; j0 < n; j0 += kTile) {
            const std::size_t i1 = std::min(n, i0 + kTile), j1 = std::min(n, j0 + kTile);
            for (std::size_t j = j0; j < j1; ++j)
                for (std::size_t i = i0; i < i1; ++i) rows[i * ld + j] = src[j * stride + i];
        }
    return rows;
}

}  // namespace kestrim::linsys
