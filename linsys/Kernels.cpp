#include "linsys/Kernels.h"

#include <algorithm>
#include <memory>

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
    const auto packed = std::make_unique_for_overwrite<double[]>(m * depth);
    kernel.packB(a, lda, n, rows, packed.get());
    // Threads take contiguous ranges of the columns, in whole groups of a
    // multiple of every kernel's tile height.
    constexpr int32_t kGroup = 24;
    const int64_t groups = (width + kGroup - 1) / kGroup;
    const double work = 2.0 * static_cast<double>(m) * static_cast<double>(cols) * static_cast<double>(depth);
    detail::ParallelForWork(groups, work, [&](int64_t g0, int64_t g1) {
        double* buffer = detail::ThreadScratch(kernel.workSize);
        const auto begin = static_cast<int32_t>(g0 * kGroup);
        const auto end = static_cast<int32_t>(std::min<int64_t>(width, g1 * kGroup));
        kernel.subtractRows(b, ldb, begin, end, n, packed.get(), rows, c, ldc, buffer);
    });
}

namespace {

bool Skips(const PanelSteps& panel, std::size_t row, std::size_t step) {
    return panel.skip != nullptr && panel.skip[row * panel.ldm + step] != 0;
}

bool AnySkip(const PanelSteps& panel, std::size_t row) {
    if (panel.skip == nullptr) return false;
    const unsigned char* flags = panel.skip + row * panel.ldm;
    return std::any_of(flags, flags + panel.steps, [](unsigned char f) { return f != 0; });
}

}  // namespace

void ApplyPanel(double* t, std::size_t ld, std::size_t width, const PanelSteps& panel,
                const RowRange* others, std::size_t nothers) {
    const std::size_t steps = panel.steps, first = panel.first, ldm = panel.ldm;
    if (width == 0 || steps == 0) return;
    // The pivot rows as they stood at their own steps: row first + s after
    // the earlier steps' subtractions, times its scale.
    const std::size_t ldp = PaddedStride(width);
    std::vector<double> pivots(steps * ldp);
    constexpr int64_t kGroup = 64;
    const auto groups = static_cast<int64_t>((width + kGroup - 1) / kGroup);
    const double work = 2.0 * static_cast<double>(steps * steps) * static_cast<double>(width);
    detail::ParallelForWork(groups, work, [&](int64_t g0, int64_t g1) {
        const auto j0 = static_cast<std::size_t>(g0 * kGroup);
        const std::size_t j1 = std::min(width, static_cast<std::size_t>(g1 * kGroup));
        const std::size_t len = j1 - j0;
        for (std::size_t s = 0; s < steps; ++s) {
            const std::size_t row = first + s;
            if (panel.swaps[s] != row)
                std::swap_ranges(t + row * ld + j0, t + row * ld + j1, t + panel.swaps[s] * ld + j0);
        }
        for (std::size_t s = 0; s < steps; ++s) {
            double* p = pivots.data() + s * ldp + j0;
            std::copy_n(t + (first + s) * ld + j0, len, p);
            const double* fs = panel.mult + (first + s) * ldm;
            for (std::size_t e = 0; e < s; ++e)
                if (!Skips(panel, first + s, e)) SubScaled(p, pivots.data() + e * ldp + j0, fs[e], len);
            if (panel.scales != nullptr) Scale(p, panel.scales[s], len);
        }
        for (std::size_t s = 0; s < steps; ++s) {
            double* row = t + (first + s) * ld + j0;
            std::copy_n(pivots.data() + s * ldp + j0, len, row);
            if (!panel.pivotRowsTakeLaterSteps) continue;
            const double* fs = panel.mult + (first + s) * ldm;
            for (std::size_t e = s + 1; e < steps; ++e)
                if (!Skips(panel, first + s, e))
                    SubScaled(row, pivots.data() + e * ldp + j0, fs[e], len);
        }
    });
    // Every other row takes all the steps' subtractions, in order: runs of
    // rows that skip no step through the product kernels, the others one
    // step at a time.
    auto block = [&](std::size_t begin, std::size_t end) {
        if (end > begin)
            SubProducts(t + begin * ld, ld, panel.mult + begin * ldm, ldm, pivots.data(), ldp,
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
                if (!Skips(panel, i, e)) SubScaled(row, pivots.data() + e * ldp, fs[e], width);
        }
        block(runStart, others[r].end);
    }
}

std::vector<double> RowMajorCopy(const DoubleArray& source, std::size_t n, std::size_t ld) {
    std::vector<double> rows(n * ld);
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
