// Helpers for the tests of the elementwise and structural operations.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kestrim/Matrix.h"
#include "support/TestSupport.h"

namespace kestrim::test {

// Row-major values of an r x c matrix.
struct Dense {
    int32_t rows = 0;
    int32_t cols = 0;
    std::vector<double> v;
    double& operator()(int32_t i, int32_t j) { return v[static_cast<std::size_t>(i) * cols + j]; }
    double operator()(int32_t i, int32_t j) const {
        return v[static_cast<std::size_t>(i) * cols + j];
    }
};

inline Dense MakeDense(int32_t rows, int32_t cols) {
    return Dense{rows, cols, std::vector<double>(static_cast<std::size_t>(rows) * cols)};
}

// Values of widely different magnitudes and both signs, so that any change
// in the order of a sum changes its rounding.
inline Dense RandomDense(int32_t rows, int32_t cols, unsigned seed) {
    Dense d = MakeDense(rows, cols);
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-20, 20);
    for (double& x : d.v) x = std::ldexp(mant(gen), expo(gen));
    return d;
}

inline MatrixPtr ToMatrix(const Dense& d) {
    auto m = Matrix::New();
    DoubleArray a = DoubleArray::Create2D(d.rows - 1, d.cols - 1);
    for (int32_t i = 0; i < d.rows; ++i)
        for (int32_t j = 0; j < d.cols; ++j) a.At(i, j) = d(i, j);
    m->SetAsArray(a);
    return m;
}

inline Dense FromMatrix(const Matrix& m) {
    Dense d = MakeDense(m.Rows(), m.Cols());
    for (int32_t i = 0; i < d.rows; ++i)
        for (int32_t j = 0; j < d.cols; ++j) d(i, j) = m.Item(i, j);
    return d;
}

// The plain product loop: each sum from 0 in increasing k, multiply then add.
inline Dense OracleProduct(const Dense& a, const Dense& b, int32_t kmax = -1) {
    if (kmax < 0) kmax = a.cols;
    Dense c = MakeDense(a.rows, b.cols);
    for (int32_t i = 0; i < a.rows; ++i)
        for (int32_t j = 0; j < b.cols; ++j) {
            double s = 0.0;
            for (int32_t k = 0; k < kmax; ++k) {
                const double p = a(i, k) * b(k, j);
                s = s + p;
            }
            c(i, j) = s;
        }
    return c;
}

// Number of elements whose bits differ (0 when identical).
inline int CountBitDifferences(const Dense& x, const Dense& y) {
    if (x.rows != y.rows || x.cols != y.cols) return -1;
    int diff = 0;
    for (std::size_t t = 0; t < x.v.size(); ++t)
        if (!SameBits(x.v[t], y.v[t])) ++diff;
    return diff;
}

inline constexpr double kMax = std::numeric_limits<double>::max();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Which arithmetic fault a statement raised: "divide", "invalid",
// "overflow", or a description of what happened instead.
template <class F>
std::string FaultOf(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        if (e.Number() == static_cast<int32_t>(RuntimeError::DivisionByZero)) return "divide";
        if (e.Number() == static_cast<int32_t>(RuntimeError::Overflow))
            return e.Description() == kInvalidOperationText ? "invalid" : "overflow";
        return "error " + std::to_string(e.Number()) + ": " + e.Description();
    }
    return "no error";
}

}  // namespace kestrim::test
