// Writes one number as text. The default is the shortest decimal that reads
// back to the same double; Hex is exact hexadecimal floating point
// ("-0x1.8p+1"); Fixed gives a chosen number of decimals (not exact).
#pragma once

#include <string>

namespace kestrim::cli {

enum class NumberStyle { Shortest, Hex, Fixed };

struct NumberFormat {
    NumberStyle style = NumberStyle::Shortest;
    int precision = 6;  // decimals, for Fixed only
};

// The largest accepted --precision.
inline constexpr int kMaxPrecision = 99;

void AppendValue(std::string& out, double value, const NumberFormat& format);
std::string FormatValue(double value, const NumberFormat& format);

}  // namespace kestrim::cli
