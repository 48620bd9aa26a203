// Random values and which arithmetic fault was raised.
#pragma once

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "support/DenseRows.h"

namespace kestrim::test {

// Widely different magnitudes and both signs: any reordered sum rounds differently.
inline Rows RandomRows(int32_t rows, int32_t cols, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-20, 20);
    Rows d(rows, std::vector<double>(cols));
    for (auto& row : d)
        for (double& x : row) x = std::ldexp(mant(gen), expo(gen));
    return d;
}

inline constexpr double kMax = std::numeric_limits<double>::max(), kInf = std::numeric_limits<double>::infinity();
inline const double kNaN = std::numeric_limits<double>::quiet_NaN(), kSNaN = std::numeric_limits<double>::signaling_NaN();

// "invalid", "overflow", or what happened instead.
template <class F>
std::string FaultOf(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        if (e.Number() == static_cast<int32_t>(RuntimeError::Overflow))
            return e.Description() == kInvalidOperationText ? "invalid" : "overflow";
        return "error " + std::to_string(e.Number()) + ": " + e.Description();
    }
    return "no error";
}

}  // namespace kestrim::test
