// QR decomposition by Householder reflections: A (m x n, m >= n) = Q * R.
//
// The factorisation runs on a private column-major copy F of the receiver:
// column k of F, from row k down, becomes the k-th Householder vector and
// the part above the diagonal the strictly upper part of R; the diagonal of
// R is kept apart. R is then written row by row into the caller's object,
// and Q is accumulated backwards directly in the caller's object (its
// columns are contiguous, so every reflection streams two columns). The
// factorisation is computed a block of columns at a time (each element
// still receives the same operations in the same order, with far less
// memory traffic), its events raised after each block; Q is too while
// events are off, as no handler can then see its columns form.
//
// Arithmetic faults are found through the sticky flags, tested before
// every event, before each output stage and at the end. Every run-time
// failure after the shape check (a fault, a receiver without storage, an
// output resized away by an event handler, storage that cannot be
// obtained) is reported as the operation's own error 15.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "core/DoubleArrayAccess.h"
#include "core/MatrixAccess.h"
#include "decomp/Kernels.h"
#include "decomp/NumericHelpers.h"
#include "decomp/ReflectorKernel.h"
#include "host/runtime/Parallel.h"

namespace kestrim {
namespace {

using detail::MatrixAccess;
namespace kern = detail::kernels;
namespace reflect = detail::reflect;

constexpr int32_t kQrHelp = 1131;
constexpr const char* kQrName = "QR";

// Reflections waiting to be applied to blocks, one block after the other,
// a few rows at a time: work that is independent of a column norm's chain
// and can run in its waits.
class Background {
public:
    explicit Background(const reflect::Kernel& kernel)
        : kernel_(kernel), rowsPerStep_(1024 / kernel.width) {}

    bool Idle() const { return next_ == jobs_.size(); }

    void Add(double* block, std::size_t rows, const std::vector<reflect::Reflection>& refl) {
        jobs_.emplace_back(block, rows, refl.data(), refl.size());
    }

    // About as much work as one step of a norm takes.
    void Step() {
        if (!kernel_.step(jobs_[next_], rowsPerStep_)) ++next_;
    }

    // Completes every job.
    void Finish() {
        for (; next_ < jobs_.size(); ++next_) kernel_.step(jobs_[next_], static_cast<std::size_t>(-1));
        jobs_.clear();
        next_ = 0;
    }

private:
    const reflect::Kernel& kernel_;
    std::size_t rowsPerStep_;
    std::vector<reflect::Job> jobs_;
    std::size_t next_ = 0;
};

// nrm = 0; nrm = Pythag(nrm, x[i]) for i = 0 .. len-1 in order. On its own,
// so that the running value stays in a register: the chain of divisions
// and square roots is the longest path of the factorisation.
[[gnu::noinline]] double ColumnNorm(const double* x, std::size_t len) {
    double nrm = 0.0;
    for (std::size_t i = 0; i < len; ++i) nrm = detail::Pythag(nrm, x[i]);
    return nrm;
}

// The same, with background work between the steps: the processor carries
// it out while each step waits for its division and square root.
double ColumnNorm(const double* x, std::size_t len, Background& background) {
    double nrm = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        nrm = detail::Pythag(nrm, x[i]);
        if (!background.Idle()) background.Step();
    }
    return nrm;
}

// Copies between column-major columns (stride ld) and a row-major block of
// `width` columns (rows x cols of them used; ColumnsToBlock zeroes the rest
// of each row). Eight columns at a time: more columns a power of two apart
// would compete for the same cache sets.
constexpr std::size_t kCopyGroup = 8;

void ColumnsToBlock(const double* cols, std::size_t ld, std::size_t count, std::size_t rows, double* block,
                    std::size_t width) {
    for (std::size_t c0 = 0; c0 < width; c0 += kCopyGroup) {
        const std::size_t c1 = std::min(width, c0 + kCopyGroup);
        const std::size_t used = std::min(std::max(count, c0), c1);
        for (std::size_t i = 0; i < rows; ++i) {
            double* row = block + i * width;
            for (std::size_t c = c0; c < used; ++c) row[c] = cols[c * ld + i];
            std::fill(row + used, row + c1, 0.0);
        }
    }
}

void BlockToColumns(const double* block, std::size_t width, std::size_t rows, std::size_t count, double* cols,
                    std::size_t ld) {
    for (std::size_t c0 = 0; c0 < count; c0 += kCopyGroup) {
        const std::size_t c1 = std::min(count, c0 + kCopyGroup);
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t c = c0; c < c1; ++c) cols[c * ld + i] = block[i * width + c];
    }
}

class QrRun {
public:
    explicit QrRun(Matrix& self) : self_(self) {}

    // Returns normally when the run completed or was cancelled; throws a
    // runtime error on any failure.
    void Run(MatrixPtr* Q, MatrixPtr* R) {
        MatrixAccess::RequireStorage(self_);
        m_ = MatrixAccess::LastRow(self_) + std::size_t{1};
        n_ = MatrixAccess::LastCol(self_) + std::size_t{1};
        // An object emptied through AsArray has no rows or columns to factor.
        if (MatrixAccess::LastRow(self_) < 0 || MatrixAccess::LastCol(self_) < 0)
            RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
        CopyReceiver();
        if (!Factorise()) return;
        fp::TestStep();

        // Both outputs' storage is obtained before either is written, so
        // running out of memory leaves them as they were. Each stage still
        // decides on its output when it starts.
        DoubleArray rStorage = R != nullptr && *R ? ZeroStorage(n_, n_) : DoubleArray();
        DoubleArray qStorage = Q != nullptr && *Q ? ZeroStorage(m_, n_) : DoubleArray();
        // So is the work storage of forming Q without events.
        std::optional<RowBlocks> qBlocks;
        if (Q != nullptr && *Q) qBlocks.emplace(QSlots(), m_, kernel_.width);
        if (R != nullptr && *R) {
            MatrixPtr target = *R;
            if (!FormR(*target, std::move(rStorage))) return;
        }
        if (Q != nullptr && *Q) {
            MatrixPtr target = *Q;
            if (!FormQ(*target, std::move(qStorage), *qBlocks)) return;
        }
        fp::TestStep();
        if (MatrixAccess::EventsEnabled(self_)) MatrixAccess::RaiseDone(self_, kQrName);
    }

private:
    double* Col(std::size_t k) { return f_.data() + k * m_; }

    void CopyReceiver() {
        f_.assign(m_ * n_, 0.0);
        diag_.assign(n_, 0.0);
        const DoubleArray& src = MatrixAccess::Elements(self_);
        const std::size_t ld = src.Stride();
        for (std::size_t j = 0; j < n_; ++j)
            std::memcpy(Col(j), src.Data() + j * ld, m_ * sizeof(double));
    }

    // Raises OnProgress while events are on; true when the caller cancelled.
    bool Progress(double percent) {
        if (!MatrixAccess::EventsEnabled(self_)) return false;
        fp::TestStep();
        return MatrixAccess::RaiseOnProgress(self_, kQrName, percent, cancel_);
    }

    static double Ratio(int64_t numerator, std::size_t n) {
        return static_cast<double>(numerator) / static_cast<double>(n);
    }

    // Householder factorisation of F; false when cancelled.
    bool Factorise() {
        // With events off no handler can run (and so none can switch them
        // on) until the factorisation is over.
        if (!MatrixAccess::EventsEnabled(self_)) {
            FactoriseByBlocks(true, [](std::size_t, std::size_t) { return true; });
            return true;
        }
        // With events on, the same blocks, each panel's events raised once
        // its reflections have reached every later column. F is private, so
        // a handler sees nothing of the difference; only a fault needs the
        // step order: the steps are then replayed one by one from the
        // receiver's copy, from the panel that raised it, so the error comes
        // after the events of exactly the steps before the faulting one.
        const detail::WorkVector initial = f_;
        std::size_t reported = 0;
        bool cancelled = false;
        const bool completed = FactoriseByBlocks(false, [&](std::size_t j0, std::size_t j1) {
            if (fp::HasFault()) return false;
            for (std::size_t k = j0; k < j1; ++k)
                if (Progress(Ratio(20 * (static_cast<int64_t>(k) + 1), n_))) {
                    cancelled = true;
                    return false;
                }
            reported = j1;
            return true;
        });
        if (completed) return true;
        if (cancelled) return false;
        f_ = initial;
        fp::ClearFlags();
        return FactoriseStepByStep(reported);
    }

    // The factorisation one reflection at a time, raising the events of the
    // steps from `firstEvent` on.
    bool FactoriseStepByStep(std::size_t firstEvent) {
        for (std::size_t k = 0; k < n_; ++k) {
            double* fk = Col(k);
            const std::size_t len = m_ - k;
            double nrm = ColumnNorm(fk + k, len);
            if (nrm != 0.0) {
                if (fk[k] < 0.0) nrm = -nrm;
                kern::Divide(fk + k, nrm, len);
                fk[k] = fk[k] + 1.0;
                const double pivot = fk[k];
                kern::ColumnDots(
                    fk + k, k + 1, n_, len, [&](std::size_t j) { return Col(j) + k; },
                    [&](std::size_t j, double s) {
                        s = -s / pivot;
                        kern::Axpy(Col(j) + k, fk + k, s, len);
                    });
            }
            diag_[k] = -nrm;
            if (k >= firstEvent && Progress(Ratio(20 * (static_cast<int64_t>(k) + 1), n_))) return false;
        }
        return true;
    }

    // Private blocks of `width` adjacent columns stored row by row (see
    // decomp/ReflectorKernel.h), each starting on a cache line.
    class RowBlocks {
    public:
        RowBlocks(std::size_t count, std::size_t rows, std::size_t width)
            : count_(count), rows_(rows), width_(width),
              storage_(count * rows * width + kAlign) {
            const auto address = reinterpret_cast<std::uintptr_t>(storage_.Data());
            first_ = storage_.Data() + (kAlign - address / sizeof(double) % kAlign) % kAlign;
        }
        double* operator[](std::size_t b) { return first_ + b * rows_ * width_; }
        std::size_t Count() const { return count_; }

    private:
        static constexpr std::size_t kAlign = 64 / sizeof(double);
        std::size_t count_, rows_, width_;
        detail::WorkBuffer storage_;  // written before it is read
        double* first_;
    };

    // Columns [j0, j0 + width) of F (those below n; the rest zero) into a
    // row-major block, and back.
    void ToRows(double* block, std::size_t j0, std::size_t width) {
        ColumnsToBlock(Col(j0), m_, std::min(width, n_ - j0), m_, block, width);
    }
    void FromRows(const double* block, std::size_t j0, std::size_t width) {
        BlockToColumns(block, width, m_, std::min(width, n_ - j0), Col(j0), m_);
    }

    // The largest block (in doubles) whose updates run between the steps of
    // the next panel's norms. The norms are a larger share of the work the
    // fewer rows there are; with more rows, the updates lose more by running
    // in short stretches than the norms gain (measured on an AVX-512 core:
    // a quarter faster at 256 rows of 32 columns, slower from 512 rows).
    static constexpr std::size_t kInterleavedBlockSize = 8192;

    // The same factorisation a panel of columns at a time: the panel's
    // columns are factored step by step, then each later block of columns,
    // kept row by row, takes the panel's reflections in order. Every
    // reflection k reaches column j (k < j) in the same order and with the
    // same operations as in the step-by-step order.
    //
    // panelDone(j0, j1) is called once the reflections of the columns
    // [j0, j1) have reached every later column; returning false stops the
    // factorisation (the return value is then false). With `interleave`,
    // on one thread, a panel's reflections reach the blocks after the next
    // one while the next panel's norms are computed, so panelDone is called
    // before they are complete: only for runs without events.
    template <class PanelDone>
    bool FactoriseByBlocks(bool interleave, PanelDone&& panelDone) {
        const std::size_t w = kernel_.width;
        const std::size_t blocks = (n_ + w - 1) / w;
        RowBlocks later(blocks, m_, w);
        for (std::size_t b = 1; b < blocks; ++b) ToRows(later[b], b * w, w);
        // Panel b's reflections stay in use while panel b + 1 is factored.
        std::vector<reflect::Reflection> panels[2];
        Background background(kernel_);
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t j0 = b * w;
            const std::size_t j1 = std::min(n_, j0 + w);
            if (b > 0) FromRows(later[b], j0, w);
            std::vector<reflect::Reflection>& panel = panels[b % 2];
            panel.clear();
            for (std::size_t k = j0; k < j1; ++k) {
                double* fk = Col(k);
                const std::size_t len = m_ - k;
                double nrm = background.Idle() ? ColumnNorm(fk + k, len) : ColumnNorm(fk + k, len, background);
                if (nrm != 0.0) {
                    if (fk[k] < 0.0) nrm = -nrm;
                    kern::Divide(fk + k, nrm, len);
                    fk[k] = fk[k] + 1.0;
                    const double pivot = fk[k];
                    kern::ColumnDots(
                        fk + k, k + 1, j1, len, [&](std::size_t j) { return Col(j) + k; },
                        [&](std::size_t j, double s) {
                            s = -s / pivot;
                            kern::Axpy(Col(j) + k, fk + k, s, len);
                        });
                    panel.push_back({fk + k, k, pivot});
                }
                diag_[k] = -nrm;
            }
            background.Finish();
            if (b + 1 == blocks) return panelDone(j0, j1);
            // The later blocks are independent: shared among threads. On
            // one thread, the next block takes the panel at once and the
            // others while the next panel's norms are computed, for blocks
            // of few rows.
            const double work = 4.0 * static_cast<double>(m_ - j0) * static_cast<double>(n_ - j1) *
                                static_cast<double>(j1 - j0);
            if (!interleave || detail::ThreadsFor(work) > 1 || m_ * w > kInterleavedBlockSize) {
                detail::ParallelForWork(static_cast<int64_t>(blocks - b - 1), work, [&](int64_t c0, int64_t c1) {
                    for (auto c = static_cast<std::size_t>(c0); c < static_cast<std::size_t>(c1); ++c)
                        kernel_.Apply(later[b + 1 + c], m_, panel.data(), panel.size());
                });
            } else {
                kernel_.Apply(later[b + 1], m_, panel.data(), panel.size());
                for (std::size_t c = b + 2; c < blocks; ++c) background.Add(later[c], m_, panel);
            }
            if (!panelDone(j0, j1)) return false;
        }
        return true;
    }

    // The threads that form Q without events, each with its own block.
    std::size_t QSlots() const {
        const std::size_t blocks = (n_ + kernel_.width - 1) / kernel_.width;
        const int threads = detail::ThreadsFor(QWork());
        return std::min(blocks, static_cast<std::size_t>(threads > 1 ? threads : 1));
    }
    double QWork() const {
        return 2.0 * static_cast<double>(m_) * static_cast<double>(n_) * static_cast<double>(n_);
    }

    // Q formed a block of columns at a time, for a Q that no handler can
    // touch: column j starts as e_j and receives the reflections j, j-1,
    // .., 0 in that order, exactly as in the step-by-step order. A block is
    // kept row by row and takes every reflection k < j1 whole: its columns
    // j < k are still e_j, +0 from row k down, so reflection k leaves them
    // as they are (their sum is +0, s = -0 as the pivot is positive, and
    // +0 + (-0 * v) is +0).
    void FormQByBlocks(double* q, std::size_t ld, RowBlocks& work) {
        const std::size_t slots = work.Count();
        const std::size_t w = kernel_.width;
        const std::size_t blocks = (n_ + w - 1) / w;
        // Every reflection, k descending.
        std::vector<reflect::Reflection> all;
        for (std::size_t kk = n_; kk-- > 0;)
            if (Col(kk)[kk] != 0.0) all.push_back({Col(kk) + kk, kk, Col(kk)[kk]});
        // Columns are independent: each slot (a thread, with its own block
        // of work storage) takes whole blocks. Later blocks take more
        // reflections, so the blocks are dealt out from both ends (0, last,
        // 1, last - 1, ...) to even out the threads.
        detail::ParallelForWork(static_cast<int64_t>(slots), QWork(), [&](int64_t s0, int64_t s1) {
            for (auto slot = static_cast<std::size_t>(s0); slot < static_cast<std::size_t>(s1); ++slot) {
                double* rows = work[slot];
                for (std::size_t t = slot * blocks / slots; t < (slot + 1) * blocks / slots; ++t) {
                    const std::size_t b = t % 2 == 0 ? t / 2 : blocks - 1 - t / 2;
                    const std::size_t j0 = b * w;
                    const std::size_t j1 = std::min(n_, j0 + w);
                    std::fill(rows, rows + m_ * w, 0.0);
                    for (std::size_t j = j0; j < j1; ++j) rows[j * w + (j - j0)] = 1.0;
                    // The reflections k < j1: the tail of the list.
                    const auto first = static_cast<std::size_t>(
                        std::find_if(all.begin(), all.end(),
                                     [&](const reflect::Reflection& r) { return r.row < j1; }) -
                        all.begin());
                    kernel_.Apply(rows, m_, all.data() + first, all.size() - first);
                    BlockToColumns(rows, w, m_, j1 - j0, q + j0 * ld, ld);
                }
            }
        });
    }

    static void RequireCovers(const Matrix& target, std::size_t rows, std::size_t cols) {
        if (!MatrixAccess::Covers(target, static_cast<int64_t>(rows), static_cast<int64_t>(cols)))
            RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    }

    static DoubleArray ZeroStorage(std::size_t rows, std::size_t cols) {
        return DoubleArray::Create2D(static_cast<int32_t>(rows) - 1, static_cast<int32_t>(cols) - 1);
    }

    // Gives `target` zero storage of rows x cols, as Size does, from
    // `storage` when that was obtained in advance.
    static void Resize(Matrix& target, DoubleArray storage, std::size_t rows, std::size_t cols) {
        if (!storage.HasStorage()) storage = ZeroStorage(rows, cols);
        MatrixAccess::SetData(target, std::move(storage));
    }

    // R into `target`, row by row; false when cancelled.
    bool FormR(Matrix& target, DoubleArray storage) {
        Resize(target, std::move(storage), n_, n_);
        if (!MatrixAccess::EventsEnabled(self_)) {
            // No handler can run, so the order of the writes cannot be seen:
            // a column at a time, as R is stored.
            DoubleArray& elements = MatrixAccess::Elements(target);
            for (std::size_t j = 0; j < n_; ++j) {
                double* col = elements.Data() + j * elements.Stride();
                std::copy(Col(j), Col(j) + j, col);
                col[j] = diag_[j];
                std::fill(col + j + 1, col + n_, 0.0);
            }
            return true;
        }
        for (std::size_t i = 0; i < n_; ++i) {
            // An event handler may have resized or emptied the object.
            RequireCovers(target, n_, n_);
            for (std::size_t j = 0; j < n_; ++j) {
                double value;
                if (i < j)
                    value = Col(j)[i];
                else if (i == j)
                    value = diag_[i];
                else
                    value = 0.0;
                MatrixAccess::SetElement(target, static_cast<int32_t>(i), static_cast<int32_t>(j),
                                         value);
            }
            if (Progress(20.0 + Ratio(10 * (static_cast<int64_t>(i) + 1), n_))) return false;
        }
        return true;
    }

    // Q accumulated backwards in `target`; false when cancelled.
    bool FormQ(Matrix& target, DoubleArray storage, RowBlocks& work) {
        Resize(target, std::move(storage), m_, n_);
        // Until an event handler has run, Q holds only what this loop wrote:
        // products of reflections with entries bounded by about 1, so no step
        // can fault. Once a handler may have changed Q's elements, a fault
        // must leave exactly the elements a step-by-step run would have
        // written, so each column is applied under a check.
        if (!MatrixAccess::EventsEnabled(self_)) {
            DoubleArray& elements = MatrixAccess::Elements(target);
            FormQByBlocks(elements.Data(), elements.Stride(), work);
            fp::TestStep();
            return true;
        }
        bool handlerRan = false;
        std::vector<double> backup;
        for (std::size_t kk = n_; kk-- > 0;) {
            const std::size_t k = kk;
            RequireCovers(target, m_, n_);
            DoubleArray& elements = MatrixAccess::Elements(target);
            double* q = elements.Data();
            const std::size_t ld = elements.Stride();
            double* qk = q + k * ld;
            std::fill(qk, qk + m_, 0.0);
            qk[k] = 1.0;
            const double* fk = Col(k) + k;
            const double pivot = Col(k)[k];
            const std::size_t len = m_ - k;
            if (pivot != 0.0) {
                if (!handlerRan) {
                    kern::ColumnDots(
                        fk, k, n_, len, [&](std::size_t j) { return q + j * ld + k; },
                        [&](std::size_t j, double s) {
                            s = -s / pivot;
                            kern::Axpy(q + j * ld + k, fk, s, len);
                        });
                    fp::TestStep();
                } else {
                    backup.resize(len);
                    // A column's sum reads only columns this step has not
                    // written yet, so the sums of a group of columns are
                    // formed together, then the group is updated while it
                    // is still in cache. A fault among the sums is pinned
                    // to its column by forming them again one at a time.
                    constexpr std::size_t kGroup = 16;
                    double sums[kGroup];
                    for (std::size_t j0 = k; j0 < n_; j0 += kGroup) {
                        const std::size_t j1 = std::min(n_, j0 + kGroup);
                        kern::ColumnDots(
                            fk, j0, j1, len, [&](std::size_t j) { return q + j * ld + k; },
                            [&](std::size_t j, double s) { sums[j - j0] = -s / pivot; });
                        const bool sumsClean = !fp::HasFault();
                        fp::ClearFlags();
                        for (std::size_t j = j0; j < j1; ++j) {
                            double* qj = q + j * ld + k;
                            double s = sums[j - j0];
                            if (!sumsClean) {
                                s = kern::Dot(qj, fk, len);
                                s = -s / pivot;
                                fp::TestStep();  // nothing of column j written yet
                            }
                            std::memcpy(backup.data(), qj, len * sizeof(double));
                            kern::Axpy(qj, fk, s, len);
                            if (fp::HasFault()) {
                                // Redo the column one element at a time; the
                                // faulting element is the last one written.
                                std::memcpy(qj, backup.data(), len * sizeof(double));
                                fp::ClearFlags();
                                for (std::size_t i = 0; i < len; ++i) {
                                    qj[i] = s * fk[i] + qj[i];
                                    fp::TestStep();
                                }
                            }
                        }
                    }
                }
            }
            if (MatrixAccess::EventsEnabled(self_)) {
                handlerRan = true;
                if (Progress(100.0 - Ratio(70 * static_cast<int64_t>(k), n_))) return false;
            }
        }
        return true;
    }

    Matrix& self_;
    const reflect::Kernel& kernel_ = reflect::SelectKernel();
    std::size_t m_ = 0;
    std::size_t n_ = 0;
    detail::WorkVector f_;
    std::vector<double> diag_;
    bool cancel_ = false;
};

}  // namespace

void Matrix::QR(MatrixPtr* Q, MatrixPtr* R) try {
    detail::OperationScope scope(*this);
    if (LastRow < LastCol)
        detail::RaiseMatrixError(18, detail::kSource,
                                 "Number of rows must be greater or equal to number of columns.",
                                 kQrHelp);
    try {
        QrRun(*this).Run(Q, R);
    } catch (const std::exception&) {
        // Runtime errors (kestrim::Error), storage that cannot be obtained
        // (bad_alloc, length_error): all end as this operation's error.
        fp::ClearFlags();
        detail::RaiseMatrixError(15, detail::kSource, "An error occurred during QR.", kQrHelp);
    }
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
