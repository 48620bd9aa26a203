// The process-wide uniform generator and decimal rounding used by FillRandom.
#pragma once

#include <cstdint>

namespace kestrim::random {

// Next value of the process-wide sequence: a Single u with 0 <= u < 1.
// The generator (xoshiro128**) starts from a fixed state when the process
// starts and is never seeded by the component, so a fresh process repeats
// its sequence. Safe to call from several threads at once.
float NextSingle() noexcept;

// Resets the sequence to its process-start state (for tests only).
void ResetForTesting() noexcept;

// `value` rounded to `decimals` decimals, half to even, correctly from the
// exact binary value. A negative `decimals` raises the runtime's
// invalid-argument error. Infinities, NaN and requests for more decimals
// than a Double can show are returned unchanged.
double RoundToDecimals(double value, int decimals);

}  // namespace kestrim::random
