// Times: the matrix product of the receiver (left) and an argument (right).
//
// Each result element is the sum s = 0; s = s + a(i,k) * b(k,j) for k in
// increasing order, with a separate multiply and add. The work is done by
// the packed kernels of ProductKernel.h, which compute whole blocks of rows
// at once and give the same bits as that loop. Faults are tested per block
// of rows; a block that raised a flag is replayed row by row, and the
// faulting row step by step, so the error is the one of the first faulting
// step in (i, j, k) order.
//
// With events on, a handler may change the receiver after any row. Each
// block of rows is computed from a snapshot of those rows, and before a
// row's result is accepted the row is compared with the receiver as it is
// then; a row that changed (or a block that faulted) is computed again from
// the receiver's current elements, with its current column count.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/MatrixAccess.h"
#include "ops/OpsSupport.h"
#include "ops/ProductKernel.h"
#include "host/runtime/KeptArray.h"
#include "host/runtime/Parallel.h"

namespace kestrim {

using detail::kSource;
using detail::MatrixAccess;
using detail::RaiseMatrixError;

namespace {

// Rows computed between two fault tests (and, with events on, per snapshot).
constexpr int32_t kRowBlock = 192;

class ProductRun {
public:
    // Packs the argument's elements b (n x q) at once: the packed panels are
    // the operation's private copy of the argument, taken before any event.
    ProductRun(Matrix& self, const DoubleArray& b, int32_t m, int32_t n, int32_t q,
               DoubleArray& r)
        : self_(self),
          m_(m),
          n_(n),
          q_(q),
          r_(r),
          kernel_(detail::product::SelectKernel()) {
        // With no rows, no element of either operand is ever read (the
        // argument may then even lack storage).
        try {
            // Kept by the thread from product to product: fresh pages for
            // it would cost as much as the arithmetic at n = 256.
            if (m_ > 0 && n_ > 0 && q_ > 0)
                packed_.emplace(static_cast<std::size_t>(n_) * static_cast<std::size_t>(q_));
            // One receiver row at a time, only when a row is computed: a
            // 0 x n receiver with a huge n must not cost n doubles.
            if (m_ > 0 && q_ > 0) row_.resize(static_cast<std::size_t>(std::max(n_, 1)));
        } catch (const std::bad_alloc&) {
            RaiseRuntimeError(RuntimeError::OutOfMemory);
        }
        if (packed_) kernel_.packB(b.Data(), static_cast<std::size_t>(n_), n_, q_, Packed());
    }

    // Events off: nothing can change the receiver while the product runs.
    void RunQuiet() {
        if (m_ == 0 || n_ == 0 || q_ == 0) return;
        const double* a = MatrixAccess::Elements(self_).Data();
        if (Threads(m_) <= 1) {
            for (int32_t i0 = 0; i0 < m_; i0 += kRowBlock) {
                const int32_t i1 = std::min(m_, i0 + kRowBlock);
                kernel_.multiplyRows(a, Lda(), i0, i1, n_, Packed(), q_, r_.Data(), Ldc(),
                                     detail::ThreadScratch(kernel_.workSize));
                if (fp::HasFault()) LocateFault(i0, i1);
            }
            return;
        }
        // Row blocks on several threads; the first faulting step is then
        // searched from the first row.
        MultiplyRows(a, Lda(), 0, m_, r_.Data());
        if (fp::HasFault()) LocateFault(0, m_);
    }

    // Events on: one OnProgress per row. Returns false when cancelled.
    bool RunWithEvents() {
        bool cancel = false;
        std::unique_ptr<double[]> snapshot;
        if (packed_) {
            snapshot = std::make_unique_for_overwrite<double[]>(
                static_cast<std::size_t>(std::min(m_, kRowBlock)) * static_cast<std::size_t>(n_));
        }
        for (int32_t i0 = 0; i0 < m_; i0 += kRowBlock) {
            const int32_t i1 = std::min(m_, i0 + kRowBlock);
            const int32_t rows = i1 - i0;
            bool computed = false;
            if (snapshot && HasExactly(i1)) {
                TakeSnapshot(snapshot.get(), i0, rows);
                MultiplyRows(snapshot.get(), static_cast<std::size_t>(rows), 0, rows,
                             r_.Data() + i0);
                // A fault anywhere in the block: every row is recomputed on
                // its own, in order, so the first fault is raised at its row.
                computed = !fp::HasFault();
                fp::ClearFlags();
            }
            for (int32_t i = i0; i < i1; ++i) {
                const bool valid =
                    computed && (i == i0 || RowUnchanged(snapshot.get(), rows, i - i0, i));
                if (!valid) ComputeRowFromReceiver(i);
                const double percent = detail::ProgressPercent(i, self_.Rows());
                if (MatrixAccess::RaiseOnProgress(self_, "Times", percent, cancel)) return false;
            }
        }
        return true;
    }

private:
    std::size_t Lda() const { return static_cast<std::size_t>(m_); }

    int Threads(int32_t rows) const {
        return detail::ThreadsFor(2.0 * rows * static_cast<double>(n_) * static_cast<double>(q_));
    }

    // Rows [i0, i1) of a (column-major, column stride lda) times the packed
    // argument into c, on as many threads as the work is worth. Each thread
    // takes a contiguous range of whole row groups, with its own packing
    // buffer; every element's sum is the same as on one thread.
    void MultiplyRows(const double* a, std::size_t lda, int32_t i0, int32_t i1, double* c) {
        const int32_t rows = i1 - i0;
        const int threads = Threads(rows);
        if (threads <= 1) {
            kernel_.multiplyRows(a, lda, i0, i1, n_, Packed(), q_, c, Ldc(),
                                 detail::ThreadScratch(kernel_.workSize));
            return;
        }
        constexpr int32_t kGroup = 24;  // a multiple of every kernel's tile height
        const int64_t groups = (rows + kGroup - 1) / kGroup;
        detail::ParallelFor(groups, threads, [&](int64_t g0, int64_t g1) {
            double* work = detail::ThreadScratch(kernel_.workSize);
            const int32_t begin = i0 + static_cast<int32_t>(g0) * kGroup;
            const int32_t end = std::min(i1, i0 + static_cast<int32_t>(g1) * kGroup);
            for (int32_t b0 = begin; b0 < end; b0 += kRowBlock)
                kernel_.multiplyRows(a, lda, b0, std::min(end, b0 + kRowBlock), n_, Packed(),
                                     q_, c, Ldc(), work);
        });
    }

    // Element (k, j) of the argument, from its packed panels.
    double PackedAt(int32_t k, int32_t j) const {
        const int32_t nr = kernel_.nr;
        const int32_t j0 = j / nr * nr;
        const int32_t w = std::min(nr, q_ - j0);
        return Packed()[static_cast<std::size_t>(j0) * static_cast<std::size_t>(n_) +
                       static_cast<std::size_t>(k) * static_cast<std::size_t>(w) +
                       static_cast<std::size_t>(j - j0)];
    }
    std::size_t Ldc() const { return static_cast<std::size_t>(m_); }
    double* Packed() const { return packed_->Data(); }

    bool HasExactly(int32_t rowsNeeded) const {
        return MatrixAccess::Elements(self_).HasStorage() &&
               MatrixAccess::LastRow(self_) + 1 >= rowsNeeded &&
               MatrixAccess::LastCol(self_) + 1 == n_;
    }

    void TakeSnapshot(double* out, int32_t i0, int32_t rows) const {
        const DoubleArray& e = MatrixAccess::Elements(self_);
        const std::size_t ld = e.Stride();
        const double* src = e.Data() + i0;
        for (int32_t k = 0; k < n_; ++k) {
            std::copy(src, src + rows, out);
            src += ld;
            out += rows;
        }
    }

    bool RowUnchanged(const double* snapshot, int32_t rows, int32_t local, int32_t i) const {
        if (!HasExactly(i + 1)) return false;
        const DoubleArray& e = MatrixAccess::Elements(self_);
        const std::size_t ld = e.Stride();
        const double* src = e.Data() + i;
        const double* snap = snapshot + local;
        for (int32_t k = 0; k < n_; ++k) {
            if (!ops::SameBits(*src, *snap)) return false;
            src += ld;
            snap += rows;
        }
        return true;
    }

    // Row i from the receiver as it is now: its current column count sets
    // the length of every sum (the argument copy keeps its n rows).
    void ComputeRowFromReceiver(int32_t i) {
        if (q_ == 0) return;
        double* c = r_.Data() + i;
        const int32_t nNow = MatrixAccess::LastCol(self_) + 1;
        if (nNow <= 0) {
            for (int32_t j = 0; j < q_; ++j) c[static_cast<std::size_t>(j) * Ldc()] = 0.0;
            return;
        }
        const DoubleArray& e = MatrixAccess::Elements(self_);
        if (!e.HasStorage() || i > MatrixAccess::LastRow(self_)) ops::RaiseSubscript();
        const int32_t kmax = std::min(nNow, n_);
        for (int32_t k = 0; k < kmax; ++k) row_[static_cast<std::size_t>(k)] = e.At(i, k);
        if (nNow > n_) {
            // The first sum of the row runs past the argument's last row.
            double s = 0.0;
            for (int32_t k = 0; k < n_; ++k) {
                s = s + row_[static_cast<std::size_t>(k)] * PackedAt(k, 0);
                ops::StoreAndTest(s);
            }
            ops::RaiseSubscript();
        }
        kernel_.multiplyRow(row_.data(), kmax, Packed(), n_, q_, c, Ldc());
        if (fp::HasFault()) ReplayRow(kmax);
    }

    // Rows [i0, i1) of the receiver raised a fault flag: find the first row
    // that faults, then its first faulting step.
    [[noreturn]] void LocateFault(int32_t i0, int32_t i1) {
        const int flags = std::fetestexcept(fp::kFaultFlags);
        fp::ClearFlags();
        std::vector<double> out(static_cast<std::size_t>(q_));
        const DoubleArray& e = MatrixAccess::Elements(self_);
        for (int32_t i = i0; i < i1; ++i) {
            for (int32_t k = 0; k < n_; ++k) row_[static_cast<std::size_t>(k)] = e.At(i, k);
            kernel_.multiplyRow(row_.data(), n_, Packed(), n_, q_, out.data(), 1);
            if (fp::HasFault()) ReplayRow(n_);
        }
        fp::RaiseFault(flags);
    }

    // The plain loop over one row (held in row_), testing every stored sum.
    [[noreturn]] void ReplayRow(int32_t kmax) {
        const int flags = std::fetestexcept(fp::kFaultFlags);
        fp::ClearFlags();
        for (int32_t j = 0; j < q_; ++j) {
            double s = 0.0;
            for (int32_t k = 0; k < kmax; ++k) {
                s = s + row_[static_cast<std::size_t>(k)] * PackedAt(k, j);
                ops::StoreAndTest(s);
            }
        }
        fp::RaiseFault(flags);
    }

    Matrix& self_;
    const int32_t m_;
    const int32_t n_;
    const int32_t q_;
    DoubleArray& r_;
    const detail::product::Kernel& kernel_;
    std::optional<detail::KeptArray> packed_;
    std::vector<double> row_;
};

}  // namespace

MatrixPtr Matrix::Times(MatrixPtr Matrix2) try {
    detail::OperationScope scope(*this);
    detail::RequireObject(Matrix2);
    const int32_t n = Matrix2->Rows();
    if (n - 1 != LastCol) RaiseMatrixError(7, kSource, "Matrix multiplication not possible.", 1114);
    const int32_t q = Matrix2->Cols();
    const int32_t m = LastRow + 1;
    DoubleArray r = DoubleArray::Create2D(LastRow, q - 1);
    // The argument's elements are read once, here, into the packed copy
    // (ProductRun); reading them in place saves the intermediate array that
    // AsArray would make and gives the same values.
    const DoubleArray& b = MatrixAccess::Elements(*Matrix2);
    const bool events = EventsEnabled;

    // The first step of the loop reads Elements(0, 0) and B(0, 0).
    if (m > 0 && n > 0 && q > 0) {
        MatrixAccess::RequireStorage(*this);
        if (!b.HasStorage() || b.Stride() != static_cast<std::size_t>(n) ||
            b.Count() != static_cast<std::size_t>(n) * static_cast<std::size_t>(q))
            ops::RaiseSubscript();
    }

    ProductRun run(*this, b, m, n, q, r);
    if (!events) {
        run.RunQuiet();
    } else if (!run.RunWithEvents()) {
        return nullptr;
    }
    auto result = Matrix::New();
    MatrixAccess::SetData(*result, std::move(r));
    if (events) MatrixAccess::RaiseDone(*this, "Times");
    return result;
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
