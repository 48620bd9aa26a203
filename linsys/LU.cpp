// LU: Crout's decomposition with implicit partial pivoting.
//
// The elimination runs right-looking and blocked on a column-major copy
// (in U's new storage when U gets one). A panel of columns is factored by
// halves, recursively: the left half first, then the right half takes its
// products, then the right half is factored; a few columns are factored one
// column at a time, each taking the products of the few before it when its
// turn comes (each column contiguous, so the pivot search, the multipliers
// and the updates run over contiguous memory). Then the panel's row
// interchanges reach the other columns, the panel's rows right of it take
// the panel's products (a triangular solve, by halves through the product
// kernels as well), and the trailing block takes them all at once through
// the product kernels. Every element still receives its products one at a
// time in increasing k, exactly as the column-by-column (Crout) formulation
// subtracts them, so the factors are the same bits. Faults are tested once per column; when
// one shows up (or a NaN pivot search picks a row above the diagonal, where
// the two formulations part ways) the column-ordered formulation takes over
// from the start, without repeating what the caller has already seen, and
// finds the first faulting step at its own place.
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

constexpr double kTinyPivot = 1.0e-20;
constexpr int32_t kHelp = 1127;
// Columns per panel of the blocked elimination, and the width up to which a
// panel's part is factored column by column (wider parts are split in two).
constexpr std::size_t kPanel = 48;
constexpr std::size_t kLeaf = 8;

// The caller's view of the run: the permutation outputs, written as the
// decomposition goes.
struct PermOutputs {
    Variant& index;
    int32_t& sign;

    void Interchange(int32_t j, int32_t imax) {
        sign = static_cast<int32_t>(0u - static_cast<uint32_t>(sign));
        const Variant upper = index.At(j);
        const Variant lower = index.At(imax);
        index.SetAt(j, lower);
        index.SetAt(imax, upper);
    }
};

#ifdef KESTRIM_DECOMP_SSE2
// |v| for the running maxima below, with a NaN turned into 0 (which never
// wins) by the quiet unordered test: maxpd itself would return the other
// operand for a NaN, as "if |x| > big" does, but flag an invalid operation
// that the comparison does not.
inline __m128d QuietMagnitude(__m128d v) {
    const __m128d a = _mm_and_pd(v, _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL)));
    return _mm_andnot_pd(_mm_cmpunord_pd(a, a), a);
}
#endif

// The largest magnitude in row[0, n), NaNs passed over, 0 when there is
// none: the running "if |x| > big then big = |x|". The largest of a set is
// the same whatever order it is searched in, so four running maxima are
// kept side by side and combined at the end.
double LargestMagnitude(const double* row, std::size_t n) {
    std::size_t j = 0;
    double big = 0.0;
#ifdef KESTRIM_DECOMP_SSE2
    __m128d m0 = _mm_setzero_pd(), m1 = _mm_setzero_pd();
    for (; j + 4 <= n; j += 4) {
        m0 = _mm_max_pd(QuietMagnitude(_mm_loadu_pd(row + j)), m0);
        m1 = _mm_max_pd(QuietMagnitude(_mm_loadu_pd(row + j + 2)), m1);
    }
    double lanes[4];
    _mm_storeu_pd(lanes, m0);
    _mm_storeu_pd(lanes + 2, m1);
    for (const double v : lanes)
        if (std::isgreater(v, big)) big = v;
#endif
    for (; j < n; ++j) {
        const double v = std::fabs(row[j]);
        if (std::isgreater(v, big)) big = v;
    }
    return big;
}

// Row scaling from the rows' largest magnitudes: 1 / big, rows in order.
linsys::WorkVector ScalesFrom(const linsys::WorkVector& big) {
    linsys::WorkVector scale(big.size());
    for (std::size_t i = 0; i < big.size(); ++i) {
        if (big[i] == 0.0)
            RaiseMatrixError(13, kSource, "Decomposition is not possible for a singular matrix.",
                             kHelp);
        scale[i] = 1.0 / big[i];
        fp::TestStep();
    }
    return scale;
}

// Row scaling of a row-major array.
linsys::WorkVector RowScales(const linsys::WorkVector& a, std::size_t ld, std::size_t n) {
    linsys::WorkVector big(n);
    for (std::size_t i = 0; i < n; ++i) big[i] = LargestMagnitude(&a[i * ld], n);
    return ScalesFrom(big);
}

// Copies the column-major n x n array `src` (columns `stride` apart) into
// `dst` (columns `ld` apart) and returns the row scaling, taken on the way:
// the largest magnitude of a row does not depend on the order its elements
// are examined in, so each column is scanned whole as it is copied.
linsys::WorkVector CopyWithRowScales(const double* src, std::size_t stride, double* dst,
                                      std::size_t ld, std::size_t n) {
    linsys::WorkVector big(n, 0.0);
    double* b = big.data();
    for (std::size_t j = 0; j < n; ++j) {
        const double* from = src + j * stride;
        double* to = dst + j * ld;
        std::size_t i = 0;
#ifdef KESTRIM_DECOMP_SSE2
        for (; i + 4 <= n; i += 4) {
            const __m128d v0 = _mm_loadu_pd(from + i), v1 = _mm_loadu_pd(from + i + 2);
            _mm_storeu_pd(to + i, v0);
            _mm_storeu_pd(to + i + 2, v1);
            _mm_storeu_pd(b + i, _mm_max_pd(QuietMagnitude(v0), _mm_loadu_pd(b + i)));
            _mm_storeu_pd(b + i + 2, _mm_max_pd(QuietMagnitude(v1), _mm_loadu_pd(b + i + 2)));
        }
#endif
        for (; i < n; ++i) {
            to[i] = from[i];
            const double v = std::fabs(from[i]);
            b[i] = std::isgreater(v, b[i]) ? v : b[i];
        }
    }
    return ScalesFrom(big);
}

enum class Outcome { Completed, Cancelled };

// Column j of the Crout formulation: the upper part, then the lower part
// with the weighted pivot search. With kChecked every stored result is
// tested at once.
template <bool kChecked>
void CroutSums(double* a, std::size_t n, std::size_t j, const linsys::WorkVector& scale,
               std::size_t& imax) {
    for (std::size_t i = 0; i < j; ++i) {
        double sum = a[i * n + j];
        for (std::size_t k = 0; k < i; ++k) {
            sum = sum - a[i * n + k] * a[k * n + j];
            if constexpr (kChecked) linsys::Checked();
        }
        a[i * n + j] = sum;
    }
    double big = 0.0;
    for (std::size_t i = j; i < n; ++i) {
        double sum = a[i * n + j];
        for (std::size_t k = 0; k < j; ++k) {
            sum = sum - a[i * n + k] * a[k * n + j];
            if constexpr (kChecked) linsys::Checked();
        }
        a[i * n + j] = sum;
        const double weight = scale[i] * std::fabs(sum);
        if constexpr (kChecked) linsys::Checked();
        if (std::isgreaterequal(weight, big)) {
            big = weight;
            imax = i;
        }
    }
}

// Rows of the work arrays are `ld` apart.
template <bool kChecked>
void Multipliers(double* a, std::size_t ld, std::size_t n, std::size_t j) {
    if (j + 1 >= n) return;
    const double d = 1.0 / a[j * ld + j];
    if constexpr (kChecked) linsys::Checked();
    for (std::size_t i = j + 1; i < n; ++i) {
        a[i * ld + j] = a[i * ld + j] * d;
        if constexpr (kChecked) linsys::Checked();
    }
}

void SwapRows(double* a, std::size_t ld, std::size_t n, std::size_t r1, std::size_t r2) {
    std::swap_ranges(a + r1 * ld, a + r1 * ld + n, a + r2 * ld);
}

// The column-ordered formulation from the start. Columns before `first`
// were already reported to the caller: they are recomputed without
// writing the permutation outputs or raising events again.
Outcome CroutFrom(Matrix& receiver, linsys::WorkVector& a, const linsys::InitialState& initial,
                  std::size_t n, std::size_t first, PermOutputs& out, bool& cancel) {
    fp::ClearFlags();
    a = initial.Get();
    linsys::WorkVector scale = RowScales(a, n, n);
    linsys::WorkVector saved(n);
    std::size_t imax = 0;
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = 0; i < n; ++i) saved[i] = a[i * n + j];
        CroutSums<false>(a.data(), n, j, scale, imax);
        if (fp::HasFault()) {
            const int flags = std::fetestexcept(fp::kFaultFlags);
            for (std::size_t i = 0; i < n; ++i) a[i * n + j] = saved[i];
            fp::ClearFlags();
            CroutSums<true>(a.data(), n, j, scale, imax);
            linsys::RaiseRecordedFault(flags);
        }
        if (imax != j) {
            SwapRows(a.data(), n, n, j, imax);
            scale[imax] = scale[j];
        }
        if (j >= first && imax != j)
            out.Interchange(static_cast<int32_t>(j), static_cast<int32_t>(imax));
        if (a[j * n + j] == 0.0) a[j * n + j] = kTinyPivot;

        for (std::size_t i = j + 1; i < n; ++i) saved[i] = a[i * n + j];
        Multipliers<false>(a.data(), n, n, j);
        if (fp::HasFault()) {
            const int flags = std::fetestexcept(fp::kFaultFlags);
            for (std::size_t i = j + 1; i < n; ++i) a[i * n + j] = saved[i];
            fp::ClearFlags();
            Multipliers<true>(a.data(), n, n, j);
            linsys::RaiseRecordedFault(flags);
        }
        if (j >= first && linsys::Progress(receiver, "LU", static_cast<int32_t>(j),
                                           static_cast<int32_t>(n), cancel))
            return Outcome::Cancelled;
    }
    return Outcome::Completed;
}

// True when the caller wants this factor and its object is not already
// n x n with storage (an object of that size is only overwritten).
bool NeedsStorage(MatrixPtr* target, std::size_t n) {
    if (target == nullptr || !*target) return false;
    const Matrix& m = **target;
    const auto size = static_cast<int32_t>(n);
    return m.Rows() != size || m.Cols() != size || !MatrixAccess::Elements(m).HasStorage();
}

// n x n storage for a factor whose object needs it, unless `storage`
// already holds it. WriteFactor writes every element before the object
// receives it, so it starts unfilled.
void ObtainStorage(MatrixPtr* target, std::size_t n, DoubleArray& storage) {
    if (NeedsStorage(target, n) && !storage.HasStorage())
        storage = detail::DoubleArrayAccess::ForOverwrite2D(static_cast<int32_t>(n) - 1,
                                                            static_cast<int32_t>(n) - 1);
}

// Writes one factor into the caller's object from the column-major array
// a (columns ld apart), giving it the storage that ObtainStorage provided
// when it needs new storage.
void WriteFactor(MatrixPtr* target, DoubleArray storage, const double* a, std::size_t ld, std::size_t n,
                 bool lower) {
    if (target == nullptr || !*target) return;
    Matrix& m = **target;
    if (NeedsStorage(target, n)) MatrixAccess::SetData(m, std::move(storage));
    DoubleArray& e = MatrixAccess::Elements(m);
    double* dst = e.Data();
    const std::size_t stride = e.Stride();
    for (std::size_t j = 0; j < n; ++j) {
        double* col = dst + j * stride;
        const double* src = a + j * ld;
        if (lower) {
            std::fill(col, col + j, 0.0);
            col[j] = 1.0;
            std::copy(src + j + 1, src + n, col + j + 1);
        } else {
            if (col != src) std::copy(src, src + j + 1, col);  // else U is written in place
            std::fill(col + j + 1, col + n, 0.0);
        }
    }
}

// The column-major n x n working array, columns `ld` apart.
struct Columns {
    double* a;
    std::size_t ld, n;
    double* Col(std::size_t j) const { return a + j * ld; }
};

// The row interchanges of the steps [k0, k1) (at most a panel's) that
// exchange two different rows, in order: step k exchanged rows k and
// pivots[k]. Listed once, so that applying them to many columns takes no
// data-dependent branches.
struct RowExchanges {
    std::size_t count = 0;
    std::size_t upper[kPanel], lower[kPanel];

    RowExchanges(const std::size_t* pivots, std::size_t k0, std::size_t k1) {
        for (std::size_t k = k0; k < k1; ++k)
            if (pivots[k] != k) {
                upper[count] = k;
                lower[count] = pivots[k];
                ++count;
            }
    }
    void Apply(double* col) const {
        for (std::size_t e = 0; e < count; ++e) std::swap(col[upper[e]], col[lower[e]]);
    }
};

// The row interchanges of the steps [k0, k1), made in order on the columns
// [c0, c1).
void InterchangeRows(const Columns& w, const std::size_t* pivots, std::size_t k0, std::size_t k1,
                     std::size_t c0, std::size_t c1) {
    const RowExchanges exchanges(pivots, k0, k1);
    if (exchanges.count == 0) return;
    for (std::size_t c = c0; c < c1; ++c) exchanges.Apply(w.Col(c));
}

// Rows of the product kernel's calls that threads take at a time: whole
// groups of a multiple of every kernel's tile height.
constexpr std::size_t kRowGroup = 24;

// Work arrays for the updates of one elimination, each of kPanel * n
// doubles, obtained once per call.
struct PanelBuffers {
    double* rows;    // a panel's rows of the columns right of it, row-major
    double* packed;  // a right operand packed for the product kernel
};

// c(i, j) = c(i, j) - a(i, k) * b(k, j), k = 0 .. depth - 1 in order, for
// the rows [0, rows) and the columns [0, cols) of the column-major c and a
// (columns ldc and lda apart), where b(k, j) = brows[k * ldb + j]: through
// the product kernel, rows shared among threads when the work is large
// enough. `packed` holds depth * cols doubles.
void SubtractProducts(double* c, std::size_t ldc, const double* a, std::size_t lda, const double* brows,
                      std::size_t ldb, std::size_t rows, std::size_t cols, std::size_t depth, double* packed) {
    if (rows == 0 || cols == 0 || depth == 0) return;
    const detail::product::Kernel& kernel = linsys::ProductKernel();
    linsys::PackRightFromRows(brows, ldb, depth, cols, static_cast<std::size_t>(kernel.nr), packed);
    const auto q = static_cast<int32_t>(cols), kk = static_cast<int32_t>(depth);
    const auto groups = static_cast<int64_t>((rows + kRowGroup - 1) / kRowGroup);
    const double work = 2.0 * static_cast<double>(rows) * static_cast<double>(cols) * static_cast<double>(depth);
    detail::ParallelForWork(groups, work, [&](int64_t g0, int64_t g1) {
        double* buffer = detail::ThreadScratch(kernel.workSize);
        const auto i0 = static_cast<int32_t>(static_cast<std::size_t>(g0) * kRowGroup);
        const auto i1 = static_cast<int32_t>(std::min(rows, static_cast<std::size_t>(g1) * kRowGroup));
        kernel.subtractRows(a, lda, i0, i1, kk, packed, q, c, ldc, buffer);
    });
}

// The rows of the row-major depth x m block t (the rows [k0, k0 + depth)
// of some columns right of the factored ones) take the products of the
// rows above them: row i, t(i, j) = t(i, j) - l(k0 + i, k0 + k) * t(k, j)
// for k = 0 .. i - 1 in order. Deep blocks are solved by halves: the upper
// half, then the lower half takes the upper half's products through the
// product kernel (t seen as column-major, its rows as columns), then the
// lower half is solved. Shallow ones a band of columns at a time, so that
// the band's rows stay in the first-level cache while every row is formed.
// `packed` holds depth * depth doubles.
void SolveUnitLower(const Columns& w, std::size_t k0, std::size_t depth, double* t, std::size_t m,
                    double* packed) {
    if (depth < 2) return;
    if (depth >= 32) {
        const std::size_t half = depth / 16 * 8;
        SolveUnitLower(w, k0, half, t, m, packed);
        // Lower row h + j, column i: t(h + j, i) -= t(k, i) * l(k0 + h + j, k0 + k).
        SubtractProducts(t + half * m, m, t, m, w.Col(k0) + k0 + half, w.ld, m, depth - half, half, packed);
        SolveUnitLower(w, k0 + half, depth - half, t + half * m, m, packed);
        return;
    }
    // The multipliers l(k0 + i, k0 + k), k < i, row by row.
    linsys::WorkVector l(depth * depth);
    for (std::size_t k = 0; k < depth; ++k) {
        const double* col = w.Col(k0 + k) + k0;
        for (std::size_t i = k + 1; i < depth; ++i) l[i * depth + k] = col[i];
    }
    constexpr std::size_t kBand = 64;
    std::vector<const double*> rows(depth);
    for (std::size_t j0 = 0; j0 < m; j0 += kBand) {
        const std::size_t width = std::min(kBand, m - j0);
        for (std::size_t i = 0; i < depth; ++i) rows[i] = t + i * m + j0;
        for (std::size_t i = 1; i < depth; ++i)
            linsys::SubtractCombination(t + i * m + j0, rows.data(), l.data() + i * depth, i, width);
    }
}

// The factored columns [k0, k1) applied to the columns [k1, c1): their row
// interchanges in order, then the rows [k0, k1) take the products of the
// rows above them in that range (row i: k = k0 .. i - 1 in order), then
// the rows below take all the products in order, c(i, j) = c(i, j) -
// l(i, k) * u(k, j), through the product kernel, rows shared among threads
// when the work is large enough.
void UpdateRight(const Columns& w, const std::size_t* pivots, std::size_t k0, std::size_t k1,
                 std::size_t c1, const PanelBuffers& buffers) {
    const std::size_t depth = k1 - k0, m = c1 - k1, below = w.n - k1;
    if (m == 0) return;
    // The panel's rows as a row-major depth x m block, so that each row
    // operation runs over all the columns at once.
    double* t = buffers.rows;
    // The columns lie far apart: the lines a column needs are requested a
    // few columns ahead, so that their loads overlap.
    constexpr std::size_t kAhead = 4;
    const RowExchanges exchanges(pivots, k0, k1);
    for (std::size_t c = 0; c < m; ++c) {
        if (c + kAhead < m) {
            double* ahead = w.Col(k1 + c + kAhead);
            for (std::size_t r = k0; r < k1; r += 8) __builtin_prefetch(ahead + r, 1);
            __builtin_prefetch(ahead + k1 - 1, 1);
            for (std::size_t e = 0; e < exchanges.count; ++e) __builtin_prefetch(ahead + exchanges.lower[e], 1);
        }
        double* col = w.Col(k1 + c);
        exchanges.Apply(col);
        for (std::size_t r = 0; r < depth; ++r) t[r * m + c] = col[k0 + r];
    }
    SolveUnitLower(w, k0, depth, t, m, buffers.packed);
    for (std::size_t c = 0; c < m; ++c) {
        double* col = w.Col(k1 + c);
        for (std::size_t r = 0; r < depth; ++r) col[k0 + r] = t[r * m + c];
    }
    // The rows below: c(k1 + i, j) -= l(k1 + i, k0 + k) * t(k, j).
    SubtractProducts(w.Col(k1) + k1, w.ld, w.Col(k0) + k1, w.ld, t, m, below, m, depth, buffers.packed);
}

// The blocked elimination's state and its column steps.
struct Elimination {
    Elimination(Matrix& m, const Columns& cols, const PanelBuffers& work, linsys::WorkVector& scales,
                std::size_t* steps, PermOutputs& outputs, linsys::InitialState& start)
        : receiver(m), w(cols), buffers(work), scale(scales), pivots(steps), out(outputs), initial(start) {}

    Matrix& receiver;
    const Columns& w;
    const PanelBuffers& buffers;
    linsys::WorkVector& scale;
    std::size_t* pivots;  // step k exchanged rows k and pivots[k]
    PermOutputs& out;
    linsys::InitialState& initial;
    bool cancel = false;
    bool replayed = false;  // the column-ordered formulation took over
    Outcome outcome = Outcome::Completed;
    linsys::WorkVector crout;  // that formulation's array
    std::size_t imax = 0;  // kept across columns, as the pivot search only moves it on a hit
    std::size_t next = 0;  // the column being factored

    // Factors the columns [k0, k1), which have received every product of
    // the columns before k0: narrow ranges column by column, wider ones as
    // two halves, the right one updated by the left one in between. The
    // row interchanges reach the columns of the range only. False when
    // the elimination stops (cancelled, or taken over by the column-ordered
    // formulation).
    bool Factor(std::size_t k0, std::size_t k1) {
        if (k1 - k0 <= kLeaf) return FactorColumns(k0, k1);
        const std::size_t mid = k0 + (k1 - k0 + kLeaf) / (2 * kLeaf) * kLeaf;
        if (!Factor(k0, mid)) return false;
        UpdateRight(w, pivots, k0, mid, k1, buffers);
        if (!Factor(mid, k1)) return false;
        InterchangeRows(w, pivots, mid, k1, k0, mid);
        return true;
    }

    bool Stop() {
        replayed = true;
        outcome = CroutFrom(receiver, crout, initial, w.n, next, out, cancel);
        return false;
    }

    // Column by column: the products of the range's earlier columns, the
    // pivot search, the interchange within the columns [k0, k1), the
    // multipliers, the checks and the event. A column takes those products
    // when its turn comes (the rows above j one after the other, as each
    // needs the ones above it, then all the rows from j down at once), so
    // it is loaded and stored once rather than once per earlier column;
    // each element still receives them in increasing k.
    bool FactorColumns(std::size_t k0, std::size_t k1) {
        const std::size_t n = w.n;
        const double* lower[kLeaf];  // the range's earlier columns, from row j on
        for (std::size_t j = k0; j < k1; ++j) {
            next = j;
            double* colJ = w.Col(j);
            for (std::size_t r = k0 + 1; r < j; ++r)
                for (std::size_t k = k0; k < r; ++k) colJ[r] = colJ[r] - w.Col(k)[r] * colJ[k];
            for (std::size_t k = k0; k < j; ++k) lower[k - k0] = w.Col(k) + j;
            linsys::SubtractCombination(colJ + j, lower, colJ + k0, j - k0, n - j);
            double big = 0.0;
            for (std::size_t i = j; i < n; ++i) {
                const double weight = scale[i] * std::fabs(colJ[i]);
                if (std::isgreaterequal(weight, big)) {
                    big = weight;
                    imax = i;
                }
            }
            if (imax < j) return Stop();
            pivots[j] = imax;
            if (imax != j) {
                for (std::size_t c = k0; c < k1; ++c) std::swap(w.Col(c)[j], w.Col(c)[imax]);
                scale[imax] = scale[j];
            }
            if (colJ[j] == 0.0) colJ[j] = kTinyPivot;
            if (j + 1 < n) linsys::Scale(colJ + j + 1, 1.0 / colJ[j], n - j - 1);
            if (fp::HasFault()) return Stop();
            if (imax != j) out.Interchange(static_cast<int32_t>(j), static_cast<int32_t>(imax));
            if (linsys::Progress(receiver, "LU", static_cast<int32_t>(j), static_cast<int32_t>(n),
                                 cancel, initial)) {
                outcome = Outcome::Cancelled;
                return false;
            }
        }
        return true;
    }
};

}  // namespace

void Matrix::LU(MatrixPtr* l, MatrixPtr* U, Variant* PermIndex, int32_t* PermSign) try {
    detail::OperationScope scope(*this);
    if (LastRow != LastCol)
        RaiseMatrixError(5, kSource, "This operation is possible only for a square Matrix.", kHelp);
    const int32_t n = LastRow + 1;
    const auto size = static_cast<std::size_t>(n);

    Variant discardedIndex;
    int32_t discardedSign = 0;
    PermOutputs out{PermIndex ? *PermIndex : discardedIndex, PermSign ? *PermSign : discardedSign};
    // The identity index, the work copy and the factors' storage are
    // obtained before any output changes, so running out of memory leaves
    // them as they were.
    DoubleArray lStorage, uStorage;
    ObtainStorage(l, size, lStorage);
    ObtainStorage(U, size, uStorage);
    Variant identity = Variant::MakeVariantArray(n);
    for (int32_t i = 0; i < n; ++i) identity.SetAt(i, Variant(i));
    // The elimination works in U's new storage when U gets one, so that U
    // is then written in place; otherwise in a private array. Every element
    // of the work copy is written before it is read.
    DoubleArray work;
    std::size_t ld = size;
    double* workData = uStorage.Data();
    if (!uStorage.HasStorage()) {
        ld = linsys::PaddedStride(size);
        work = detail::DoubleArrayAccess::Work(Elements.HasStorage() ? ld * size : 0);
        workData = work.Data();
    }
    const Columns w{workData, ld, size};
    linsys::WorkVector scale;
    if (Elements.HasStorage())
        scale = CopyWithRowScales(Elements.Data(), Elements.Stride(), w.a, ld, size);
    linsys::InitialState initial([this, size] { return linsys::RowMajorCopy(Elements, size); });
    // With events on, a handler may change the receiver: the copy that a
    // replay starts from is taken now, before any output changes.
    if (EventsEnabled && Elements.HasStorage()) initial.Keep();
    out.index = std::move(identity);
    out.sign = 1;
    RequireStorage();

    std::vector<std::size_t> pivots(size);
    const std::size_t bufferSize = std::min(kPanel, size) * size;
    DoubleArray panelWork = detail::DoubleArrayAccess::Work(2 * bufferSize);
    const PanelBuffers buffers{panelWork.Data(), panelWork.Data() + bufferSize};
    Elimination e(*this, w, buffers, scale, pivots.data(), out, initial);
    for (std::size_t k0 = 0; k0 < size; k0 += kPanel) {
        const std::size_t k1 = std::min(size, k0 + kPanel);
        if (!e.Factor(k0, k1)) break;
        InterchangeRows(w, pivots.data(), k0, k1, 0, k0);
        UpdateRight(w, pivots.data(), k0, k1, size, buffers);
    }
    const Outcome outcome = e.outcome;
    const bool replayed = e.replayed;
    const linsys::WorkVector& crout = e.crout;
    if (outcome == Outcome::Cancelled) return;

    if (replayed) {
        // The column-ordered formulation's factors, into the column-major array.
        for (std::size_t j = 0; j < size; ++j)
            for (std::size_t i = 0; i < size; ++i) w.Col(j)[i] = crout[i * size + j];
    }
    // A handler may have changed the objects meanwhile: both factors'
    // storage exists before either is written.
    ObtainStorage(l, size, lStorage);
    ObtainStorage(U, size, uStorage);
    WriteFactor(l, std::move(lStorage), w.a, ld, size, true);
    WriteFactor(U, std::move(uStorage), w.a, ld, size, false);
    linsys::Finish(*this, "LU");
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::LUdc(MatrixPtr* l, MatrixPtr* U, Variant* PermIndex, int32_t* PermSign) {
    LU(l, U, PermIndex, PermSign);
}

}  // namespace kestrim
