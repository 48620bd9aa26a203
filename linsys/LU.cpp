// LU: Crout's decomposition with implicit partial pivoting.
//
// The elimination runs right-looking and blocked on a row-major private
// copy: a panel of columns is factored one column at a time, then its rows
// right of it and the trailing block take the panel's products. Every
// element still receives its products one at a time in increasing k,
// exactly as the column-by-column (Crout) formulation subtracts them, so
// the factors are the same bits. Faults are tested once per column; when
// one shows up (or a NaN pivot search picks a row above the diagonal,
// where the two formulations part ways) the column-ordered formulation
// takes over from the start, without repeating what the caller has
// already seen, and finds the first faulting step at its own place.
#include <algorithm>
#include <cmath>

#include "linsys/Kernels.h"

namespace kestrim {

using detail::kSource;
using detail::MatrixAccess;
using detail::RaiseMatrixError;

namespace {

constexpr double kTinyPivot = 1.0e-20;
constexpr int32_t kHelp = 1127;
// Columns per panel of the blocked elimination.
constexpr std::size_t kPanel = 32;

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

// The largest magnitude in row[0, n), NaNs passed over, 0 when there is
// none: the running "if |x| > big then big = |x|". The largest of a set is
// the same whatever order it is searched in, so four running maxima are
// kept side by side and combined at the end.
double LargestMagnitude(const double* row, std::size_t n) {
    std::size_t j = 0;
    double big = 0.0;
#ifdef KESTRIM_DECOMP_SSE2
    // maxpd returns its second operand when the first is a NaN.
    const __m128d signless = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    __m128d m0 = _mm_setzero_pd(), m1 = _mm_setzero_pd();
    for (; j + 4 <= n; j += 4) {
        m0 = _mm_max_pd(_mm_and_pd(_mm_loadu_pd(row + j), signless), m0);
        m1 = _mm_max_pd(_mm_and_pd(_mm_loadu_pd(row + j + 2), signless), m1);
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

// Row scaling: 1 / (largest magnitude of the row), rows in order.
std::vector<double> RowScales(const std::vector<double>& a, std::size_t ld, std::size_t n) {
    std::vector<double> scale(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double big = LargestMagnitude(&a[i * ld], n);
        if (big == 0.0)
            RaiseMatrixError(13, kSource, "Decomposition is not possible for a singular matrix.",
                             kHelp);
        scale[i] = 1.0 / big;
        fp::TestStep();
    }
    return scale;
}

enum class Outcome { Completed, Cancelled };

// Column j of the Crout formulation: the upper part, then the lower part
// with the weighted pivot search. With kChecked every stored result is
// tested at once.
template <bool kChecked>
void CroutSums(double* a, std::size_t n, std::size_t j, const std::vector<double>& scale,
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
Outcome CroutFrom(Matrix& receiver, std::vector<double>& a, const linsys::InitialState& initial,
                  std::size_t n, std::size_t first, PermOutputs& out, bool& cancel) {
    fp::ClearFlags();
    a = initial.Get();
    std::vector<double> scale = RowScales(a, n, n);
    std::vector<double> saved(n);
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

// Zero n x n storage for a factor whose object needs it, unless `storage`
// already holds it.
void ObtainStorage(MatrixPtr* target, std::size_t n, DoubleArray& storage) {
    if (NeedsStorage(target, n) && !storage.HasStorage())
        storage = DoubleArray::Create2D(static_cast<int32_t>(n) - 1, static_cast<int32_t>(n) - 1);
}

// Writes one factor into the caller's object, giving it the storage that
// ObtainStorage provided when it needs new storage.
void WriteFactor(MatrixPtr* target, DoubleArray storage, const double* a, std::size_t ld, std::size_t n,
                 bool lower) {
    if (target == nullptr || !*target) return;
    Matrix& m = **target;
    if (NeedsStorage(target, n)) MatrixAccess::SetData(m, std::move(storage));
    DoubleArray& e = MatrixAccess::Elements(m);
    double* dst = e.Data();
    const std::size_t stride = e.Stride();
    // The whole array tile by tile (small tiles, as in linsys::RowMajorCopy,
    // so that both sides stay in cache), then the other triangle and, for L,
    // the unit diagonal over it.
    constexpr std::size_t kTile = 8;
    for (std::size_t j0 = 0; j0 < n; j0 += kTile)
        for (std::size_t i0 = 0; i0 < n; i0 += kTile) {
            const std::size_t j1 = std::min(n, j0 + kTile), i1 = std::min(n, i0 + kTile);
            for (std::size_t j = j0; j < j1; ++j)
                for (std::size_t i = i0; i < i1; ++i) dst[j * stride + i] = a[i * ld + j];
        }
    for (std::size_t j = 0; j < n; ++j) {
        double* col = dst + j * stride;
        if (lower) {
            std::fill(col, col + j, 0.0);
            col[j] = 1.0;
        } else {
            std::fill(col + j + 1, col + n, 0.0);
        }
    }
}

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
    const std::size_t ld = linsys::PaddedStride(size);
    std::vector<double> a, scale;
    if (Elements.HasStorage()) {
        a = linsys::RowMajorCopy(Elements, size, ld);
        scale = RowScales(a, ld, size);
    }
    linsys::InitialState initial([this, size] { return linsys::RowMajorCopy(Elements, size); });
    // With events on, a handler may change the receiver: the copy that a
    // replay starts from is taken now, before any output changes.
    if (EventsEnabled && Elements.HasStorage()) initial.Keep();
    out.index = std::move(identity);
    out.sign = 1;
    RequireStorage();

    bool cancel = false;
    std::size_t imax = 0;  // kept across columns, as the pivot search only moves it on a hit
    std::vector<double> crout;  // the column-ordered formulation's array, when it takes over
    bool replayed = false;
    Outcome outcome = Outcome::Completed;
    for (std::size_t k0 = 0; k0 < size && !replayed; k0 += kPanel) {
        const std::size_t k1 = std::min(size, k0 + kPanel);
        // The panel's columns, one at a time; each has received every
        // product of the earlier columns when its pivot is searched.
        for (std::size_t j = k0; j < k1; ++j) {
            double* rowJ = &a[j * ld];
            double big = 0.0;
            for (std::size_t i = j; i < size; ++i) {
                const double weight = scale[i] * std::fabs(a[i * ld + j]);
                if (std::isgreaterequal(weight, big)) {
                    big = weight;
                    imax = i;
                }
            }
            if (imax < j) {
                outcome = CroutFrom(*this, crout, initial, size, j, out, cancel);
                replayed = true;
                break;
            }
            if (imax != j) {
                SwapRows(a.data(), ld, size, j, imax);
                scale[imax] = scale[j];
            }
            if (rowJ[j] == 0.0) rowJ[j] = kTinyPivot;
            Multipliers<false>(a.data(), ld, size, j);
            if (fp::HasFault()) {
                outcome = CroutFrom(*this, crout, initial, size, j, out, cancel);
                replayed = true;
                break;
            }
            if (imax != j) out.Interchange(static_cast<int32_t>(j), static_cast<int32_t>(imax));
            if (linsys::Progress(*this, "LU", static_cast<int32_t>(j), n, cancel, initial)) return;

            // Column j's products for the rest of the panel.
            for (std::size_t i = j + 1; i < size; ++i) {
                double* row = &a[i * ld];
                linsys::SubScaled(row + j + 1, rowJ + j + 1, row[j], k1 - j - 1);
            }
        }
        if (replayed || k1 == size) break;
        // The panel's rows right of it: row i takes the products of the panel
        // rows above it, in order.
        for (std::size_t i = k0 + 1; i < k1; ++i)
            for (std::size_t k = k0; k < i; ++k)
                linsys::SubScaled(&a[i * ld + k1], &a[k * ld + k1], a[i * ld + k], size - k1);
        // The trailing rows and columns take the panel's products, in order.
        linsys::SubProducts(&a[k1 * ld + k1], ld, &a[k1 * ld + k0], ld, &a[k0 * ld + k1], ld,
                            size - k1, size - k1, k1 - k0);
    }
    if (outcome == Outcome::Cancelled) return;

    const double* factor = replayed ? crout.data() : a.data();
    const std::size_t factorLd = replayed ? size : ld;
    // A handler may have changed the objects meanwhile: both factors'
    // storage exists before either is written.
    ObtainStorage(l, size, lStorage);
    ObtainStorage(U, size, uStorage);
    WriteFactor(l, std::move(lStorage), factor, factorLd, size, true);
    WriteFactor(U, std::move(uStorage), factor, factorLd, size, false);
    linsys::Finish(*this, "LU");
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::LUdc(MatrixPtr* l, MatrixPtr* U, Variant* PermIndex, int32_t* PermSign) {
    LU(l, U, PermIndex, PermSign);
}

}  // namespace kestrim
