// Golub-Reinsch singular value decomposition on column-major work arrays.
//
// Layout: a (m x n) and v (n x n) are column-major with a padded column
// stride, so the Householder updates, the accumulations and the plane
// rotations of the sweeps all stream whole contiguous columns. The
// rotations of one sweep are recorded and then applied to U and V in one
// pass over a block of rows at a time (each element still receives them in
// order). U and V are packed into the layout of Elements at the end. The
// few row-wise steps (the row
// reflections of the bidiagonalisation and the first row of each right
// transformation) gather the row into a contiguous buffer. Where a step
// computes one sum per row (the row reflection's update), the sums are
// accumulated column by column into a vector of partial sums: each sum still
// adds its terms in increasing index order.
//
// Arithmetic faults are found through the sticky flags, tested before
// every progress event, at the end of each phase and before every
// convergence decision of the sweeps; a fault ends the computation with
// SvdWork::kFaultFailure.
#include "decomp/SVDCore.h"

#include <cmath>
#include <cstring>

#include "core/MatrixAccess.h"
#include "decomp/Kernels.h"
#include "decomp/NumericHelpers.h"
#include "decomp/ParallelColumns.h"
#include "decomp/RotationLog.h"

namespace kestrim::detail {
namespace {

namespace kern = kernels;

constexpr const char* kSvdName = "SVD";
constexpr int kMaxSweeps = 30;
// Pending rotations that trigger applying them (plus 8 per column).
constexpr std::size_t kFlushRotations = 256;

class SvdRun {
public:
    SvdRun(Matrix& receiver, bool wantU, bool wantV, SvdWork& work)
        : receiver_(receiver), wantU_(wantU), wantV_(wantV), work_(work) {}

    void Run() {
        MatrixAccess::RequireStorage(receiver_);
        // An object emptied through AsArray has no work arrays to give.
        if (MatrixAccess::LastRow(receiver_) < 0 || MatrixAccess::LastCol(receiver_) < 0)
            RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
        m_ = MatrixAccess::LastRow(receiver_) + std::size_t{1};
        n_ = MatrixAccess::LastCol(receiver_) + std::size_t{1};
        work_.m = m_;
        work_.n = n_;
        lda_ = PaddedStride(m_);
        ldv_ = PaddedStride(n_);
        aStore_.assign(lda_ * n_, 0.0);
        if (wantV_) vStore_.assign(ldv_ * n_, 0.0);
        work_.w.assign(n_, 0.0);
        e_.assign(n_, 0.0);
        row_.assign(n_, 0.0);
        sums_.assign(m_, 0.0);
        // Room for everything recorded between two applications, so that
        // recording never allocates.
        const std::size_t maxPending = kFlushRotations + 9 * n_;
        for (auto* pairs : {&cu_, &su_, &cv_, &sv_}) pairs->reserve(maxPending);
        pendU_.reserve(maxPending + n_);
        pendV_.reserve(maxPending + n_);
        a_ = aStore_.data();
        v_ = wantV_ ? vStore_.data() : nullptr;
        w_ = work_.w.data();
        const DoubleArray& src = MatrixAccess::Elements(receiver_);
        for (std::size_t j = 0; j < n_; ++j)
            std::memcpy(A(j), src.Data() + j * src.Stride(), m_ * sizeof(double));

        const bool finished = Bidiagonalise() && Check() && (!wantV_ || (AccumulateRight() && Check())) &&
                              (!wantU_ || (AccumulateLeft() && Check())) && Diagonalise() && Check();
        if (!finished && !work_.cancelled) return;
        // A cancelled run gives the arrays as they stand at the event: the
        // rotations recorded before it are applied first.
        if (work_.cancelled) Flush();
        if (wantU_) work_.a = Pack(a_, lda_, m_, n_);
        if (wantV_) work_.v = Pack(v_, ldv_, n_, n_);
    }

private:
    double* A(std::size_t col) { return a_ + col * lda_; }
    double* V(std::size_t col) { return v_ + col * ldv_; }

    // Column stride of the work arrays: the row count rounded up to whole
    // cache lines, plus one line when that is an even number of lines, so
    // that walking along a row does not map every column to the same cache
    // set (as a 4 KiB stride would).
    static std::size_t PaddedStride(std::size_t rows) {
        std::size_t lines = (rows + 7) / 8;
        if (lines % 2 == 0) ++lines;
        return lines * 8;
    }

    // A rows x cols array with the layout of Elements, from a padded one.
    static DoubleArray Pack(const double* src, std::size_t ld, std::size_t rows, std::size_t cols) {
        DoubleArray out =
            DoubleArray::Create2D(static_cast<int32_t>(rows - 1), static_cast<int32_t>(cols - 1));
        for (std::size_t j = 0; j < cols; ++j)
            std::memcpy(out.Data() + j * out.Stride(), src + j * ld, rows * sizeof(double));
        return out;
    }

    // False (with the failure recorded) when a fault flag is raised.
    bool Check() {
        if (!fp::HasFault()) return true;
        fp::ClearFlags();
        work_.failure = SvdWork::kFaultFailure;
        return false;
    }

    // Raises OnProgress while events are on. False when the run must stop:
    // a fault before the event, or the caller cancelled.
    bool Progress(double percent) {
        if (!MatrixAccess::EventsEnabled(receiver_)) return true;
        if (!Check()) return false;
        if (MatrixAccess::RaiseOnProgress(receiver_, kSvdName, percent, cancel_)) {
            work_.cancelled = true;
            return false;
        }
        return true;
    }

    static double Ratio(int64_t numerator, std::size_t denominator) {
        return static_cast<double>(numerator) / static_cast<double>(denominator);
    }

    // x is negligible against the norm of the bidiagonal form.
    bool Negligible(double x) const { return std::fabs(x) + anorm_ == anorm_; }

    // Dot products of x[0..len) with rows off..off+len of the columns
    // first..last-1 of an array of leading dimension ld (see
    // kernels::ColumnDots), the columns split among threads: `use` may
    // change only its own column.
    template <class Use>
    static void ColumnDots(const double* x, double* base, std::size_t ld, std::size_t off,
                           std::size_t first, std::size_t last, std::size_t len, Use&& use) {
        kern::ParallelColumnDots(
            x, first, last, len, [&](std::size_t j) { return base + j * ld + off; }, use);
    }

    // Householder reduction to upper bidiagonal form: diagonal in w,
    // superdiagonal in e, vectors left in a. False when stopped.
    bool Bidiagonalise() {
        double g = 0.0, scale = 0.0, s = 0.0;
        anorm_ = 0.0;
        for (std::size_t i = 0; i < n_; ++i) {
            const std::size_t l = i + 1;
            e_[i] = scale * g;
            g = s = scale = 0.0;
            if (i < m_) {
                double* ai = A(i) + i;
                const std::size_t len = m_ - i;
                scale = kern::SumAbs(ai, len);
                if (scale != 0.0) {
                    kern::Divide(ai, scale, len);
                    s = kern::Dot(ai, ai, len);
                    double f = ai[0];
                    g = -SignOf(std::sqrt(s), f);
                    const double h = f * g - s;
                    ai[0] = f - g;
                    if (i != n_ - 1) {
                        // s = dot; f = s / h, per column (neither is read
                        // again before both are reset).
                        ColumnDots(ai, a_, lda_, i, l, n_, len, [&](std::size_t j, double dot) {
                            kern::Axpy(A(j) + i, ai, dot / h, len);
                        });
                    }
                    kern::Scale(ai, scale, len);
                }
            }
            w_[i] = scale * g;
            g = s = scale = 0.0;
            if (i < m_ && i != n_ - 1) {
                const std::size_t rlen = n_ - l;
                double* row = row_.data();
                for (std::size_t k = 0; k < rlen; ++k) row[k] = A(l + k)[i];
                scale = kern::SumAbs(row, rlen);
                if (scale != 0.0) {
                    kern::Divide(row, scale, rlen);
                    s = kern::Dot(row, row, rlen);
                    const double f = row[0];
                    g = -SignOf(std::sqrt(s), f);
                    const double h = f * g - s;
                    row[0] = f - g;
                    for (std::size_t k = 0; k < rlen; ++k) e_[l + k] = row[k] / h;
                    if (i != m_ - 1) {
                        // One sum per row j = l .. m-1, built column by column.
                        // Rows are independent: each thread takes a range.
                        const std::size_t clen = m_ - l;
                        double* sums = sums_.data();
                        kern::ParallelRows(clen, 4.0 * static_cast<double>(rlen), [&](std::size_t r0, std::size_t r1) {
                            std::fill(sums + r0, sums + r1, 0.0);
                            for (std::size_t k = 0; k < rlen; ++k)
                                kern::Axpy(sums + r0, A(l + k) + l + r0, row[k], r1 - r0);
                            for (std::size_t k = 0; k < rlen; ++k)
                                kern::Axpy(A(l + k) + l + r0, sums + r0, e_[l + k], r1 - r0);
                        });
                    }
                    kern::Scale(row, scale, rlen);
                    for (std::size_t k = 0; k < rlen; ++k) A(l + k)[i] = row[k];
                }
            }
            anorm_ = MaxDouble(anorm_, std::fabs(e_[i]) + std::fabs(w_[i]));
            if (!Progress(Ratio(34 * (static_cast<int64_t>(i) + 1), n_))) return false;
        }
        // A NaN norm would let the split search below run past column 0.
        if (anorm_ != anorm_) {
            work_.failure = SvdWork::kFaultFailure;
            return false;
        }
        return true;
    }

    // Right transformations into v. False when stopped.
    bool AccumulateRight() {
        double g = 0.0;
        std::size_t l = 0;
        for (std::size_t ii = n_; ii-- > 0;) {
            const std::size_t i = ii;
            double* vi = V(i);
            if (i < n_ - 1) {
                const std::size_t len = n_ - l;
                // g is exactly zero for rows beyond the receiver's last one
                // (no row reflection there), so row i exists below.
                if (g != 0.0 && i < m_) {
                    double* row = row_.data();
                    for (std::size_t k = 0; k < len; ++k) row[k] = A(l + k)[i];
                    const double pivot = row[0];
                    for (std::size_t k = 0; k < len; ++k) vi[l + k] = (row[k] / pivot) / g;
                    ColumnDots(row, v_, ldv_, l, l, n_, len, [&](std::size_t j, double s) {
                        kern::Axpy(V(j) + l, vi + l, s, len);
                    });
                }
                for (std::size_t j = l; j < n_; ++j) {
                    V(j)[i] = 0.0;
                    vi[j] = 0.0;
                }
            }
            vi[i] = 1.0;
            g = e_[i];
            l = i;
        }
        return Progress(35.0);
    }

    // Left transformations into a, which becomes U. False when stopped.
    bool AccumulateLeft() {
        const std::size_t p = (m_ < n_ ? m_ : n_) - 1;
        for (std::size_t ii = p + 1; ii-- > 0;) {
            const std::size_t i = ii;
            const std::size_t l = i + 1;
            const double g = w_[i];
            double* ai = A(i);
            if (i != n_ - 1)
                for (std::size_t j = l; j < n_; ++j) A(j)[i] = 0.0;
            if (g != 0.0) {
                if (i != p) {
                    const double pivot = ai[i];
                    ColumnDots(ai + l, a_, lda_, l, l, n_, m_ - l, [&](std::size_t j, double s) {
                        const double f = (s / pivot) / g;
                        kern::Axpy(A(j) + i, ai + i, f, m_ - i);
                    });
                }
                kern::Divide(ai + i, g, m_ - i);
            } else {
                std::fill(ai + i, ai + m_, 0.0);
            }
            ai[i] = ai[i] + 1.0;
            if (!Progress(53.0 - Ratio(18 * (static_cast<int64_t>(i) + 1), p + 1))) return false;
        }
        return true;
    }

    // Implicitly shifted QR sweeps until every superdiagonal element is
    // negligible. False when stopped.
    bool Diagonalise() {
        double* w = w_;
        double* e = e_.data();
        for (std::size_t kk = n_; kk-- > 0;) {
            const std::size_t k = kk;
            for (int sweeps = 0;; ++sweeps) {
                // Every decision below compares computed values.
                if (!Check()) return false;
                std::size_t l = k;
                bool cancelE = true;
                for (;; --l) {
                    // e[0] is always zero and so negligible; the explicit
                    // test only guards the bound.
                    if (l == 0 || Negligible(e[l])) {
                        cancelE = false;
                        break;
                    }
                    if (Negligible(w[l - 1])) break;
                }
                if (cancelE) {
                    // These rotations pair column nm with each column in
                    // turn; they are applied at once, after what is pending.
                    if (wantU_) Flush();
                    const std::size_t nm = l - 1;
                    double c = 0.0, s = 1.0;
                    for (std::size_t i = l; i <= k; ++i) {
                        const double f = s * e[i];
                        e[i] = c * e[i];
                        if (Negligible(f)) break;
                        const double g = w[i];
                        const double h = std::sqrt(g * g + f * f);
                        w[i] = h;
                        c = g / h;
                        s = -f / h;
                        if (wantU_) kern::Rotate(A(nm), A(i), c, s, m_);
                    }
                }
                double z = w[k];
                if (l == k) {
                    if (z < 0.0) {
                        w[k] = -z;
                        if (wantV_) pendV_.push_back({k, 0, 0});
                    }
                    if (!Progress(100.0 - Ratio(47 * (static_cast<int64_t>(k) + 1), n_)))
                        return false;
                    break;
                }
                if (sweeps == kMaxSweeps) {
                    work_.failure = static_cast<int32_t>(k);
                    return false;
                }
                // Shift from the bottom 2 x 2 minor.
                double x = w[l];
                const std::size_t nm = k - 1;
                double y = w[nm];
                double g = e[nm];
                double h = e[k];
                double f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2.0 * h * y);
                g = std::sqrt(f * f + 1.0);
                f = ((x - z) * (x + z) + h * (y / (f + SignOf(g, f)) - h)) / x;
                // Chase the bulge. The rotations of U and V do not feed back
                // into w and e: they are recorded and applied afterwards,
                // one pass over each array for the whole sweep.
                const std::size_t count = nm + 1 - l;
                const kern::ColumnOp sweep{l, count, cv_.size()};
                double c = 1.0, s = 1.0;
                for (std::size_t j = l; j <= nm; ++j) {
                    const std::size_t i = j + 1;
                    g = e[i];
                    y = w[i];
                    h = s * g;
                    g = c * g;
                    z = std::sqrt(h * h + f * f);
                    e[j] = z;
                    c = f / z;
                    s = h / z;
                    f = x * c + g * s;
                    g = g * c - x * s;
                    h = y * s;
                    y = y * c;
                    cv_.push_back(c);
                    sv_.push_back(s);
                    z = std::sqrt(h * h + f * f);
                    w[j] = z;
                    if (z != 0.0) {
                        c = f / z;
                        s = h / z;
                    }
                    f = c * g + s * y;
                    x = c * y - s * g;
                    cu_.push_back(c);
                    su_.push_back(s);
                }
                if (wantV_) pendV_.push_back(sweep);
                if (wantU_) pendU_.push_back(sweep);
                if (cv_.size() >= kFlushRotations + 8 * n_) Flush();
                e[l] = 0.0;
                e[k] = f;
                w[k] = x;
            }
        }
        Flush();
        return true;
    }

    // Applies the pending column operations of U and V.
    void Flush() {
        if (wantU_)
            kern::ApplyColumnOpsParallel(a_, lda_, m_, pendU_.data(), pendU_.size(), cu_.data(), su_.data());
        if (wantV_)
            kern::ApplyColumnOpsParallel(v_, ldv_, n_, pendV_.data(), pendV_.size(), cv_.data(), sv_.data());
        pendU_.clear();
        pendV_.clear();
        cu_.clear();
        su_.clear();
        cv_.clear();
        sv_.clear();
    }

    Matrix& receiver_;
    const bool wantU_;
    const bool wantV_;
    SvdWork& work_;
    std::size_t m_ = 0;
    std::size_t n_ = 0;
    std::size_t lda_ = 0;
    std::size_t ldv_ = 0;
    std::vector<double> aStore_;
    std::vector<double> vStore_;
    double* a_ = nullptr;
    double* v_ = nullptr;
    double* w_ = nullptr;
    std::vector<double> e_;
    std::vector<double> row_;   // a gathered row of a
    std::vector<double> sums_;  // per-row sums of the row reflections
    // Rotations (and negations) of U and V not yet applied, with the (c, s)
    // pairs of the sweeps: one pair per rotation for V and one for U, so
    // both arrays grow together and a sweep's offset is valid in both.
    std::vector<kern::ColumnOp> pendU_, pendV_;
    std::vector<double> cv_, sv_, cu_, su_;
    double anorm_ = 0.0;
    bool cancel_ = false;
};

}  // namespace

void SVDCore(Matrix& receiver, bool wantU, bool wantV, SvdWork& work) {
    SvdRun(receiver, wantU, wantV, work).Run();
}

}  // namespace kestrim::detail
