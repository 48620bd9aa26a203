// Random values, the plain product loop, and which arithmetic fault was raised.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "support/TestSupport.h"

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

// The plain product loop: each sum from 0 in increasing k (only k < kmax).
inline Rows OracleProduct(const Rows& a, const Rows& b, std::size_t kmax = ~std::size_t{0}) {
    Rows c(a.size(), std::vector<double>(b[0].size()));
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b[0].size(); ++j) {
            double s = 0.0;
            for (std::size_t k = 0; k < std::min(kmax, b.size()); ++k) {
                const double p = a[i][k] * b[k][j];
                s = s + p;
            }
            c[i][j] = s;
        }
    return c;
}

// Number of rows whose bits or lengths differ (0 when identical).
inline std::size_t BitDiffs(const Rows& x, const Rows& y) {
    std::size_t diff = x.size() == y.size() ? 0 : 1;
    for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i)
        diff += x[i].size() != y[i].size() || std::memcmp(x[i].data(), y[i].data(), x[i].size() * sizeof(double));
    return diff;
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
