// Fixed-point formatting of Doubles for text rendering.
#pragma once

#include <string>

namespace kestrim::format {

// Formats `value` with exactly `decimals` digits after a "." (no separator
// when decimals <= 0), at least one digit before it, no grouping, and a
// leading "-" for negative values. The result is correctly rounded from the
// exact binary value; an exact tie rounds to even. A value whose text is
// all zeros is shown without a minus sign. Infinities and NaN render as
// "inf", "-inf" and "nan".
std::string FormatFixed(double value, int decimals);

}  // namespace kestrim::format
