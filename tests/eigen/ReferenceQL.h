// A plain scalar transcription of the implicit-shift QL iteration on a
// symmetric tridiagonal matrix, statement by statement, with every
// rotation applied to V at once and the fault flags tested after every
// stored result: the oracle that the recorded, blocked form of
// TridiagonalQL must match bit for bit, and whose failure index it must
// report on faulting input.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestrim::test {

struct QlReference {
    std::vector<double> d, e;
    std::vector<std::vector<double>> v;  // v[row][col]
    int32_t failed = 0;
};

inline void RunReferenceQl(QlReference& q, int32_t iterationLimit = 30) {
    struct Fault {};
    auto step = [] {
        if (std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW)) throw Fault{};
    };
    auto pythag = [&](double a, double b) {
        const double p = std::fabs(a), r = std::fabs(b);
        if (p > r) {
            const double t = r / p;
            const double res = p * std::sqrt(1.0 + t * t);
            step();
            return res;
        }
        if (r == 0.0) return 0.0;
        const double t = p / r;
        const double res = r * std::sqrt(1.0 + t * t);
        step();
        return res;
    };
    auto signOf = [](double a, double b) { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); };
    std::vector<double>& D = q.d;
    std::vector<double>& E = q.e;
    auto& V = q.v;
    const int32_t n = static_cast<int32_t>(D.size()) - 1;
    q.failed = 0;
    if (n == 0) return;
    for (int32_t i = 1; i <= n; ++i) E[i - 1] = E[i];
    E[n] = 0.0;
    double f = 0.0, tst1 = 0.0;
    int32_t l = 0;
    try {
        for (l = 0; l <= n; ++l) {
            int32_t j = 0;
            double h = std::fabs(D[l]) + std::fabs(E[l]);
            step();
            if (tst1 < h) tst1 = h;
            int32_t m = l;
            while (m <= n && !(std::fabs(E[m]) + tst1 == tst1)) ++m;
            if (m != l) {
                do {
                    if (j == iterationLimit) {
                        q.failed = l + 1;
                        return;
                    }
                    ++j;
                    const int32_t l1 = l + 1;
                    double g = D[l];
                    double p = (D[l1] - g) / (E[l] + E[l]);
                    step();
                    double r = pythag(p, 1.0);
                    D[l] = E[l] / (p + signOf(r, p));
                    step();
                    D[l1] = E[l] * (p + signOf(r, p));
                    step();
                    const double dl1 = D[l1];
                    h = g - D[l];
                    step();
                    for (int32_t i = l + 2; i <= n; ++i) {
                        D[i] = D[i] - h;
                        step();
                    }
                    f = f + h;
                    step();
                    p = D[m];
                    double c = 1.0, c2 = c, c3 = c2;
                    const double el1 = E[l1];
                    double s = 0.0, s2 = 0.0;
                    for (int32_t i = m - 1; i >= l; --i) {
                        c3 = c2;
                        c2 = c;
                        s2 = s;
                        g = c * E[i];
                        step();
                        h = c * p;
                        step();
                        r = pythag(p, E[i]);
                        E[i + 1] = s * r;
                        step();
                        s = E[i] / r;
                        step();
                        c = p / r;
                        step();
                        p = c * D[i] - s * g;
                        step();
                        D[i + 1] = (s * D[i] + c * g) * s + h;
                        step();
                        for (int32_t k = 0; k <= n; ++k) {
                            h = V[k][i + 1];
                            V[k][i + 1] = s * V[k][i] + c * h;
                            step();
                            V[k][i] = c * V[k][i] - s * h;
                            step();
                        }
                    }
                    p = (-s) * s2 * c3 * el1 * E[l] / dl1;
                    step();
                    E[l] = s * p;
                    step();
                    D[l] = c * p;
                    step();
                } while (std::fabs(E[l]) + tst1 > tst1);
            }
            D[l] = D[l] + f;
            step();
        }
    } catch (const Fault&) {
        std::feclearexcept(FE_ALL_EXCEPT);
        q.failed = l + 1;
        return;
    }
    for (int32_t i = 0; i <= n; ++i) {
        int32_t k = i;
        double p = D[i];
        for (int32_t j = i + 1; j <= n; ++j)
            if (D[j] > p) {
                k = j;
                p = D[j];
            }
        if (k != i) {
            D[k] = D[i];
            D[i] = p;
            for (int32_t r = 0; r <= n; ++r) std::swap(V[r][i], V[r][k]);
        }
    }
}

}  // namespace kestrim::test
