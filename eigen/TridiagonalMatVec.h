// The product of one Householder step of the symmetric tridiagonal
// reduction, eight columns of V at a time.
//
// For every column j = 0 .. l in turn, the step forms the sum
// g = f*V(j, j) + E(j), then g = g + D(k)*V(k, j) for k = j + 1 .. l, and
// adds f*V(k, j) to every E(k) below, with f = D(j). Each g is its own
// chain in order of k, and each E(k) receives its terms in order of j, so
// eight columns can run together: their triangle above row j0 + 8 one
// column after the other, then the rows below four at a time, where E
// takes the eight terms of a row in column order and the eight sums take
// the row's products in row order (the products transposed into one
// register per row). The lower triangle is read once, down its columns.
#pragma once

#include <cstdint>

#include "decomp/Kernels.h"
#include "eigen/EigenInternal.h"

namespace kestrim::detail::eigen {

#if KESTRIM_DECOMP_AVX
// Columns j0 .. j0 + 7 (all <= l) of step i: stores V(j, i) = D(j) and the
// finished sums E(j), and adds the columns' terms to E(k), k > j0 + 7.
__attribute__((target("avx"))) inline void TridiagonalMatVec8Avx(Square& V, int32_t i, int32_t l, int32_t j0,
                                                                 const double* d, double* e) noexcept {
    constexpr int kCols = 8;
    const double* v[kCols];
    double f[kCols];
    double g[kCols];
    const int32_t last = j0 + kCols - 1;
    for (int c = 0; c < kCols; ++c) {
        const int32_t j = j0 + c;
        f[c] = d[j];
        V(j, i) = f[c];
        v[c] = V.Col(j);
    }
    for (int c = 0; c < kCols; ++c) {
        const int32_t j = j0 + c;
        double gj = f[c] * v[c][j] + e[j];
        for (int32_t k = j + 1; k <= last; ++k) {
            gj = gj + d[k] * v[c][k];
            e[k] = e[k] + f[c] * v[c][k];
        }
        g[c] = gj;
    }

    __m256d g03 = _mm256_loadu_pd(g);
    __m256d g47 = _mm256_loadu_pd(g + 4);
    __m256d vf[kCols];
    for (int c = 0; c < kCols; ++c) vf[c] = _mm256_set1_pd(f[c]);
    int32_t k = last + 1;
    for (; k + 3 <= l; k += 4) {
        const __m256d dk = _mm256_loadu_pd(d + k);
        __m256d ek = _mm256_loadu_pd(e + k);
        __m256d p[kCols];
        for (int c = 0; c < kCols; ++c) {
            const __m256d vc = _mm256_loadu_pd(v[c] + k);
            ek = _mm256_add_pd(ek, _mm256_mul_pd(vf[c], vc));
            p[c] = _mm256_mul_pd(dk, vc);
        }
        _mm256_storeu_pd(e + k, ek);
        // Row r of the four products of columns 0 .. 3 (and 4 .. 7) into
        // one register, added in row order.
        for (int half = 0; half < 2; ++half) {
            const __m256d* q = p + 4 * half;
            const __m256d lo01 = _mm256_unpacklo_pd(q[0], q[1]);
            const __m256d hi01 = _mm256_unpackhi_pd(q[0], q[1]);
            const __m256d lo23 = _mm256_unpacklo_pd(q[2], q[3]);
            const __m256d hi23 = _mm256_unpackhi_pd(q[2], q[3]);
            __m256d& acc = half == 0 ? g03 : g47;
            acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(lo01, lo23, 0x20));
            acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(hi01, hi23, 0x20));
            acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(lo01, lo23, 0x31));
            acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(hi01, hi23, 0x31));
        }
    }
    _mm256_storeu_pd(g, g03);
    _mm256_storeu_pd(g + 4, g47);
    for (; k <= l; ++k) {
        for (int c = 0; c < kCols; ++c) {
            g[c] = g[c] + d[k] * v[c][k];
            e[k] = e[k] + f[c] * v[c][k];
        }
    }
    for (int c = 0; c < kCols; ++c) e[j0 + c] = g[c];
}
#endif

}  // namespace kestrim::detail::eigen
