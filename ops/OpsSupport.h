// Small helpers shared by the elementwise and structural operations.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/MatrixAccess.h"
#include "host/runtime/FloatingPoint.h"
#include "kestrim/Error.h"

namespace kestrim::ops {

using detail::MatrixAccess;

// The runtime's error for an element that the loop would read or write
// outside the storage that exists (after a handler resized an operand).
[[noreturn]] inline void RaiseSubscript() { RaiseRuntimeError(RuntimeError::SubscriptOutOfRange); }

// The per-step fault test of the replays: the stored result goes through a
// volatile so that it is computed before the flags are read.
inline void StoreAndTest(double value) {
    volatile double stored = value;
    (void)stored;
    fp::TestStep();
}

inline bool SameBits(double a, double b) noexcept { return std::memcmp(&a, &b, sizeof a) == 0; }

// The current element storage of m when it holds exactly rows x cols.
inline bool HasExactly(const Matrix& m, int32_t rows, int32_t cols) noexcept {
    return MatrixAccess::Elements(m).HasStorage() && MatrixAccess::LastRow(m) + 1 == rows &&
           MatrixAccess::LastCol(m) + 1 == cols;
}

}  // namespace kestrim::ops
