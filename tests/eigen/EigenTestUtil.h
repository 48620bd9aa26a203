// Helpers of the eigenanalysis tests: running Eigen into fresh outputs,
// residuals of eigenpairs, and random test matrices.
#pragma once

#include <complex>
#include <string>

#include "support/DenseRows.h"
#include "support/TestSupport.h"

namespace kestrim::test {

struct EigenResult {
    std::vector<double> wr, wi;
    Rows vr, vi;
};

inline std::vector<double> Column(const Matrix& m) {
    std::vector<double> v(m.Rows());
    for (int32_t i = 0; i < m.Rows(); ++i) v[i] = m.Item(i, 0);
    return v;
}

inline EigenResult RunEigen(const MatrixPtr& a) {
    MatrixPtr wr = Matrix::New(), wi = Matrix::New(), vr = Matrix::New(), vi = Matrix::New();
    a->Eigen(&wr, &wi, &vr, &vi);
    return {Column(*wr), Column(*wi), ToRows(*vr), ToRows(*vi)};
}

// max_k |A v_k - lambda_k v_k| / (|A| |v_k| n) in max-magnitude norms; inf if v_k = 0.
inline double WorstResidual(const Rows& a, const EigenResult& r) {
    const int n = static_cast<int>(r.wr.size());
    const double an = std::max(MaxAbs(a), 1e-300);
    double worst = 0;
    for (int k = 0; k < n; ++k) {
        const std::complex<double> lambda{r.wr[k], r.wi[k]};
        double vn = 0;
        for (int i = 0; i < n; ++i) vn = std::max(vn, std::abs(std::complex<double>{r.vr[i][k], r.vi[i][k]}));
        if (vn == 0) return INFINITY;
        for (int i = 0; i < n; ++i) {
            std::complex<double> s = -lambda * std::complex<double>{r.vr[i][k], r.vi[i][k]};
            for (int j = 0; j < n; ++j) s += a[i][j] * std::complex<double>{r.vr[j][k], r.vi[j][k]};
            worst = std::max(worst, std::abs(s) / (an * vn * n));
        }
    }
    return worst;
}

inline Rows RandomRows(int n, uint64_t seed, bool symmetric) {
    uint64_t s = seed * 2654435761u + 1;
    Rows a = FillRows(n, n, [&] {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(s >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    });
    if (symmetric)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) a[i][j] = a[j][i];
    return a;
}


}  // namespace kestrim::test
