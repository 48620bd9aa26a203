// Private routines of the eigenanalysis: work arrays, the step policies
// that select plain or step-by-step checked arithmetic, the event and fault
// context of one Eigen call, and the solver stages.
//
// Every solver stage is a template over a step policy:
//  - Fast runs the arithmetic with no per-step test. The sticky fault flags
//    are tested at coarse checkpoints (before every event, before every
//    loop whose end depends on a computed value, before a failure report,
//    at the end of a stage). A flag found there is resolved by the
//    context: a single fault kind is raised as is; several kinds mean the
//    first faulting step is unknown, so the stage is replayed from its
//    start in Checked mode.
//  - Checked performs the same operations in the same statement order and
//    tests the flags after every stored result (fp::TestStep), so the first
//    faulting step raises its own error. It raises no events.
// Both policies produce bit-identical values; Fast may traverse independent
// elements in a different order (for contiguous memory access), Checked
// always follows the plain statement order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/MatrixAccess.h"
#include "host/runtime/FloatingPoint.h"

namespace kestrim::detail::eigen {

using Vector = std::vector<double>;

// A zero-filled N x N array of Double, column-major like Elements: element
// (r, c) at c * Stride() + r. For larger orders the column stride is padded
// to an odd multiple of 8 Doubles, so that walking along a row (one element
// per column) spreads over all cache sets instead of hitting one set when N
// is a power of two. The padding is never read as data.
class Square {
public:
    Square() = default;
    explicit Square(int32_t order);

    int32_t Order() const noexcept { return n_; }
    std::size_t Stride() const noexcept { return ld_; }
    double& operator()(int32_t r, int32_t c) noexcept {
        return a_[static_cast<std::size_t>(c) * ld_ + static_cast<std::size_t>(r)];
    }
    double operator()(int32_t r, int32_t c) const noexcept {
        return a_[static_cast<std::size_t>(c) * ld_ + static_cast<std::size_t>(r)];
    }
    double* Col(int32_t c) noexcept { return a_.data() + static_cast<std::size_t>(c) * ld_; }
    const double* Col(int32_t c) const noexcept { return a_.data() + static_cast<std::size_t>(c) * ld_; }
    // The whole storage, padding included (zero unless written).
    std::vector<double>& Data() noexcept { return a_; }
    const std::vector<double>& Data() const noexcept { return a_; }

private:
    int32_t n_ = 0;
    std::size_t ld_ = 0;
    std::vector<double> a_;
};

// A zero-filled vector of `count` Doubles.
Vector MakeVector(int32_t count);

struct Fast {
    static constexpr bool kChecked = false;
    static void Step() noexcept {}
};

struct Checked {
    static constexpr bool kChecked = true;
    static void Step() { fp::TestStep(); }
};

// The receiver, the call's cancel flag and the fault resolution of the
// stage that is running. A context without a receiver (a replay) raises no
// events.
class Context {
public:
    Context(Matrix* receiver, bool* cancel) noexcept : receiver_(receiver), cancel_(cancel) {}

    // Reruns the running stage from its start in Checked mode.
    void SetReplay(std::function<void()> replay) { replay_ = std::move(replay); }

    // Raises the error of the first faulting step since the stage began.
    // Call only when a fault flag is set.
    [[noreturn]] void ResolveFault();

    Matrix* Receiver() const noexcept { return receiver_; }
    bool& Cancel() noexcept { return *cancel_; }

private:
    Matrix* receiver_;
    bool* cancel_;
    std::function<void()> replay_;
};

// Coarse fault test of the Fast policy (Checked has tested every step).
template <class K>
inline void Checkpoint(Context& ctx) {
    if constexpr (!K::kChecked) {
        if (fp::HasFault()) ctx.ResolveFault();
    }
}

// Raises OnProgress("Eigen", percent) when the receiver's events are on
// (read afresh each time); true when the caller must stop (cancelled).
template <class K>
inline bool Report(Context& ctx, double percent) {
    if constexpr (K::kChecked) {
        (void)ctx;
        (void)percent;
        return false;
    } else {
        Matrix* receiver = ctx.Receiver();
        if (receiver == nullptr || !MatrixAccess::EventsEnabled(*receiver)) return false;
        Checkpoint<K>(ctx);
        return MatrixAccess::RaiseOnProgress(*receiver, "Eigen", percent, ctx.Cancel());
    }
}

// ---- Symmetric path -------------------------------------------------------

// Householder reduction of the symmetric A (read only, both triangles) to
// tridiagonal form: D the diagonal, E the sub-diagonal (E(0) = 0), V the
// orthogonal transformation. Returns early when cancelled.
template <class K>
void TridiagonalizeSymmetric(Context& ctx, int32_t n, const Square& A, Vector& D, Vector& E, Square& V);

// Implicit-shift QL on the tridiagonal (D, E), rotating V's columns into
// eigenvectors; sorts descending. Traps its own arithmetic faults: on a
// fault, or when an eigenvalue needs more than `iterationLimit` iterations,
// `Failed` = l + 1 (flags cleared). Returns with Failed = 0 when cancelled.
void TridiagonalQL(Context& ctx, int32_t n, Vector& D, Vector& E, Square& V, int32_t& Failed,
                   int32_t iterationLimit = 30);

// The iteration limit the Eigen driver hands to TridiagonalQL. Tests lower
// it to drive the fall-back to the general solver; it is 30 otherwise.
int32_t QlIterationLimit() noexcept;

class ScopedQlIterationLimit {
public:
    explicit ScopedQlIterationLimit(int32_t limit) noexcept;
    ~ScopedQlIterationLimit();
    ScopedQlIterationLimit(const ScopedQlIterationLimit&) = delete;
    ScopedQlIterationLimit& operator=(const ScopedQlIterationLimit&) = delete;

private:
    int32_t saved_;
};

// ---- General path ---------------------------------------------------------

// Balancing result: the matrix is upper triangular outside Low .. High.
struct Balance {
    int32_t Low = 0;
    int32_t High = 0;
    Vector Scale;
};

template <class K>
void BalanceMatrix(Context& ctx, int32_t n, Square& A, Balance& b);

template <class K>
void ReduceToHessenberg(Context& ctx, int32_t n, int32_t Low, int32_t High, Square& A, Vector& ort);

template <class K>
void AccumulateHessenberg(Context& ctx, int32_t n, int32_t Low, int32_t High, const Square& A, Vector& ort,
                          Square& Z);

// Francis double-shift QR with eigenvector back-substitution; H is
// destroyed, Z becomes the eigenvectors of the balanced matrix. Failed = en
// when the budget of 30 * N steps runs out.
template <class K>
void HessenbergQR(Context& ctx, int32_t n, int32_t Low, int32_t High, Square& H, Vector& WR, Vector& WI,
                  Square& Z, int32_t& Failed);

template <class K>
void UnbalanceVectors(int32_t n, int32_t Low, int32_t High, const Vector& Scale, int32_t mc, Square& Z);

// The whole general path on A (destroyed): WR, WI, Z are reset and filled.
template <class K>
void GeneralEigenSolve(Context& ctx, int32_t n, Square& A, Vector& WR, Vector& WI, Square& Z,
                       int32_t& Failed);

}  // namespace kestrim::detail::eigen
