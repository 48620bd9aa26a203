// Helpers of the eigenanalysis tests: running Eigen into fresh outputs,
// residuals of eigenpairs, and complex roots compared as multisets.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "support/DenseRows.h"
#include "support/TestSupport.h"

namespace kestrim::test {

struct EigenResult {
    std::vector<double> wr, wi;
    Rows vr, vi;
    int order() const { return static_cast<int>(wr.size()); }
    std::complex<double> value(int k) const { return {wr[k], wi[k]}; }
    std::vector<std::complex<double>> vector(int k) const {
        std::vector<std::complex<double>> v(wr.size());
        for (size_t r = 0; r < wr.size(); ++r) v[r] = {vr[r][k], vi[r][k]};
        return v;
    }
};

inline std::vector<double> Column(const Matrix& m) {
    std::vector<double> v(m.Rows());
    for (int32_t i = 0; i < m.Rows(); ++i) v[i] = m.Item(i, 0);
    return v;
}

// Runs Eigen on `a` with four new output objects.
inline EigenResult RunEigen(const MatrixPtr& a) {
    MatrixPtr wr = Matrix::New(), wi = Matrix::New(), vr = Matrix::New(), vi = Matrix::New();
    a->Eigen(&wr, &wi, &vr, &vi);
    EigenResult r;
    r.wr = Column(*wr);
    r.wi = Column(*wi);
    r.vr = ToRows(*vr);
    r.vi = ToRows(*vi);
    return r;
}

// max over columns k of |A v_k - lambda_k v_k| / (|A| |v_k| n), with |.| the
// largest magnitude; the vectors are complex.
inline double WorstResidual(const Rows& a, const EigenResult& r) {
    const int n = r.order();
    const double an = std::max(MaxAbs(a), 1e-300);
    double worst = 0;
    for (int k = 0; k < n; ++k) {
        const auto v = r.vector(k);
        double vn = 0;
        for (const auto& x : v) vn = std::max(vn, std::abs(x));
        if (vn == 0) return INFINITY;  // an eigenvector is never zero
        const auto lambda = r.value(k);
        for (int i = 0; i < n; ++i) {
            std::complex<double> s = 0;
            for (int j = 0; j < n; ++j) s += a[i][j] * v[j];
            s -= lambda * v[i];
            worst = std::max(worst, std::abs(s) / (an * vn * n));
        }
    }
    return worst;
}

// True when the two lists hold the same values within `tol`, each used once.
inline bool SameMultiset(std::vector<std::complex<double>> got, std::vector<std::complex<double>> want,
                         double tol) {
    if (got.size() != want.size()) return false;
    for (const auto& w : want) {
        auto best = got.end();
        double bestDist = tol;
        for (auto it = got.begin(); it != got.end(); ++it) {
            const double d = std::abs(*it - w);
            if (d <= bestDist) {
                bestDist = d;
                best = it;
            }
        }
        if (best == got.end()) return false;
        got.erase(best);
    }
    return true;
}

inline std::vector<std::complex<double>> Values(const EigenResult& r) {
    std::vector<std::complex<double>> v;
    for (int k = 0; k < r.order(); ++k) v.push_back(r.value(k));
    return v;
}

// A deterministic pseudo-random generator for test matrices.
class TestRandom {
public:
    explicit TestRandom(uint64_t seed) : s_(seed * 2654435761u + 1) {}
    double Next() {  // in [-1, 1)
        s_ = s_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(s_ >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    }

private:
    uint64_t s_;
};

inline Rows RandomRows(int n, uint64_t seed, bool symmetric) {
    TestRandom rnd(seed);
    Rows a = FillRows(n, n, [&] { return rnd.Next(); });
    if (symmetric)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) a[i][j] = a[j][i];
    return a;
}

// Asserts that `stmt` raises the runtime's arithmetic error with the given
// description kind: overflow ("Overflow") or invalid operation.
inline std::string RuntimeErrorDescription(const std::function<void()>& stmt) {
    try {
        stmt();
    } catch (const Error& e) {
        return std::to_string(e.Number()) + ":" + e.Description();
    }
    return "no error";
}

inline std::string Expected(RuntimeError which, const std::string& description) {
    return std::to_string(static_cast<int32_t>(which)) + ":" + description;
}

}  // namespace kestrim::test
