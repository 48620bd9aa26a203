// 256-bit forms of the multi-column decomposition kernels (the element-wise
// ones are in Kernels.h), chosen at run time on processors with AVX. They
// use only packed multiply, add, subtract and divide (no fused
// multiply-add), which round exactly like the scalar and SSE2 forms, so the
// results are the same bits on every x86-64 processor.
#include "decomp/Kernels.h"

#if KESTRIM_DECOMP_AVX

namespace kestrim::detail::kernels {

// The column operations for a block of 4*N rows, the running column of
// each rotation sequence held in N registers.
template <int N>
__attribute__((target("avx"))) inline void ColumnOpsBlockAvx(double* base, std::size_t ld,
                                                             std::size_t r, const ColumnOp* ops,
                                                             std::size_t nops, const double* c,
                                                             const double* s) noexcept {
    const __m256d signBit = _mm256_set1_pd(-0.0);
    for (std::size_t o = 0; o < nops; ++o) {
        const ColumnOp& op = ops[o];
        double* col = base + op.first * ld + r;
        if (op.count == 0) {
#pragma GCC unroll 8
            for (int v = 0; v < N; ++v)
                _mm256_storeu_pd(col + 4 * v, _mm256_xor_pd(_mm256_loadu_pd(col + 4 * v), signBit));
            continue;
        }
        const std::ptrdiff_t step = op.Step(ld);
        __m256d y[N];
#pragma GCC unroll 8
        for (int v = 0; v < N; ++v) y[v] = _mm256_loadu_pd(col + 4 * v);
        for (std::size_t t = 0; t < op.count; ++t) {
            double* next = col + step;
            const __m256d vc = _mm256_set1_pd(c[op.offset + t]);
            const __m256d vs = _mm256_set1_pd(s[op.offset + t]);
#pragma GCC unroll 8
            for (int v = 0; v < N; ++v) {
                const __m256d z = _mm256_loadu_pd(next + 4 * v);
                _mm256_storeu_pd(col + 4 * v,
                                 _mm256_add_pd(_mm256_mul_pd(y[v], vc), _mm256_mul_pd(z, vs)));
                y[v] = _mm256_sub_pd(_mm256_mul_pd(z, vc), _mm256_mul_pd(y[v], vs));
            }
            col = next;
        }
#pragma GCC unroll 8
        for (int v = 0; v < N; ++v) _mm256_storeu_pd(col + 4 * v, y[v]);
    }
}

__attribute__((target("avx"))) void ApplyColumnOpsAvx(double* base, std::size_t ld,
                                                      std::size_t rows, const ColumnOp* ops,
                                                      std::size_t nops, const double* c,
                                                      const double* s) noexcept {
    std::size_t r = 0;
    for (; r + 32 <= rows; r += 32) ColumnOpsBlockAvx<8>(base, ld, r, ops, nops, c, s);
    for (; r + 4 <= rows; r += 4) ColumnOpsBlockAvx<1>(base, ld, r, ops, nops, c, s);
    for (; r < rows; ++r) ApplyColumnOpsToRow(base, ld, r, ops, nops, c, s);
}

// Dot products of x with 4*G columns y[j], one column per lane of G
// accumulators. Two consecutive elements of four columns are loaded and
// interleaved so that a vector holds one element index of four columns;
// each lane then adds its products in increasing index order, exactly as
// the scalar sum does.
template <int G>
__attribute__((target("avx"))) inline void DotBlockAvx(const double* x, const double* const* y,
                                                       std::size_t n, double* out) noexcept {
    __m256d acc[G];
    for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const __m256d x0 = _mm256_broadcast_sd(x + i);
        const __m256d x1 = _mm256_broadcast_sd(x + i + 1);
        for (int g = 0; g < G; ++g) {
            const double* const* yy = y + 4 * g;
            // [y0[i], y0[i+1], y2[i], y2[i+1]] and [y1[i], y1[i+1], y3[i], y3[i+1]]
            const __m256d a = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(yy[0] + i)),
                                                   _mm_loadu_pd(yy[2] + i), 1);
            const __m256d b = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(yy[1] + i)),
                                                   _mm_loadu_pd(yy[3] + i), 1);
            acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(x0, _mm256_unpacklo_pd(a, b)));
            acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(x1, _mm256_unpackhi_pd(a, b)));
        }
    }
    alignas(32) double s[4 * G];
    for (int g = 0; g < G; ++g) _mm256_store_pd(s + 4 * g, acc[g]);
    for (; i < n; ++i)
        for (int j = 0; j < 4 * G; ++j) s[j] = s[j] + x[i] * y[j][i];
    for (int j = 0; j < 4 * G; ++j) out[j] = s[j];
}

void Dot8Avx(const double* x, const double* const y[8], std::size_t n, double out[8]) noexcept {
    DotBlockAvx<2>(x, y, n, out);
}

void Dot16Avx(const double* x, const double* const y[16], std::size_t n, double out[16]) noexcept {
    DotBlockAvx<4>(x, y, n, out);
}

}  // namespace kestrim::detail::kernels

#endif
