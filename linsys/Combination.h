// Subtracting several scaled vectors from one, the inner step of the
// eliminations' triangular solves and column updates:
//   y[i] = (...((y[i] - x[0][i] * f[0]) - x[1][i] * f[1]) ...) - x[t-1][i] * f[t-1]
// for i in [0, n). Every element receives its products one at a time, in
// increasing term order, each a separately rounded multiply then subtract,
// so the result is the same bits as `terms` passes of y[i] = y[i] - f * x[i]
// (the IEEE product is commutative); a block of y stays in registers for
// all the terms instead of being loaded and stored once per term. Only the
// number of elements per instruction differs between the forms below.
#pragma once

#include <cstddef>

#include "decomp/Kernels.h"

namespace kestrim::linsys {

namespace combination {

#if KESTRIM_DECOMP_AVX
inline bool DetectAvx512() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}
inline const bool hasAvx512 = DetectAvx512();
#endif

inline void Scalar(double* y, const double* const* x, const double* f, std::size_t terms,
                   std::size_t begin, std::size_t n) noexcept {
    for (std::size_t i = begin; i < n; ++i) {
        double a = y[i];
        for (std::size_t k = 0; k < terms; ++k) a = a - x[k][i] * f[k];
        y[i] = a;
    }
}

// Two elements per instruction (the x86-64 baseline).
inline void Sse2(double* y, const double* const* x, const double* f, std::size_t terms,
                 std::size_t n) noexcept {
    std::size_t i = 0;
#ifdef KESTRIM_DECOMP_SSE2
    for (; i + 8 <= n; i += 8) {
        __m128d a0 = _mm_loadu_pd(y + i), a1 = _mm_loadu_pd(y + i + 2);
        __m128d a2 = _mm_loadu_pd(y + i + 4), a3 = _mm_loadu_pd(y + i + 6);
        for (std::size_t k = 0; k < terms; ++k) {
            const __m128d fk = _mm_set1_pd(f[k]);
            const double* xk = x[k] + i;
            a0 = _mm_sub_pd(a0, _mm_mul_pd(_mm_loadu_pd(xk), fk));
            a1 = _mm_sub_pd(a1, _mm_mul_pd(_mm_loadu_pd(xk + 2), fk));
            a2 = _mm_sub_pd(a2, _mm_mul_pd(_mm_loadu_pd(xk + 4), fk));
            a3 = _mm_sub_pd(a3, _mm_mul_pd(_mm_loadu_pd(xk + 6), fk));
        }
        _mm_storeu_pd(y + i, a0);
        _mm_storeu_pd(y + i + 2, a1);
        _mm_storeu_pd(y + i + 4, a2);
        _mm_storeu_pd(y + i + 6, a3);
    }
#endif
    Scalar(y, x, f, terms, i, n);
}

#if KESTRIM_DECOMP_AVX
__attribute__((target("avx"))) inline void Avx(double* y, const double* const* x, const double* f,
                                               std::size_t terms, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m256d a0 = _mm256_loadu_pd(y + i), a1 = _mm256_loadu_pd(y + i + 4);
        __m256d a2 = _mm256_loadu_pd(y + i + 8), a3 = _mm256_loadu_pd(y + i + 12);
        for (std::size_t k = 0; k < terms; ++k) {
            const __m256d fk = _mm256_broadcast_sd(f + k);
            const double* xk = x[k] + i;
            a0 = _mm256_sub_pd(a0, _mm256_mul_pd(_mm256_loadu_pd(xk), fk));
            a1 = _mm256_sub_pd(a1, _mm256_mul_pd(_mm256_loadu_pd(xk + 4), fk));
            a2 = _mm256_sub_pd(a2, _mm256_mul_pd(_mm256_loadu_pd(xk + 8), fk));
            a3 = _mm256_sub_pd(a3, _mm256_mul_pd(_mm256_loadu_pd(xk + 12), fk));
        }
        _mm256_storeu_pd(y + i, a0);
        _mm256_storeu_pd(y + i + 4, a1);
        _mm256_storeu_pd(y + i + 8, a2);
        _mm256_storeu_pd(y + i + 12, a3);
    }
    for (; i + 4 <= n; i += 4) {
        __m256d a = _mm256_loadu_pd(y + i);
        for (std::size_t k = 0; k < terms; ++k)
            a = _mm256_sub_pd(a, _mm256_mul_pd(_mm256_loadu_pd(x[k] + i), _mm256_broadcast_sd(f + k)));
        _mm256_storeu_pd(y + i, a);
    }
    Scalar(y, x, f, terms, i, n);
}

__attribute__((target("avx512f"))) inline void Avx512(double* y, const double* const* x,
                                                      const double* f, std::size_t terms,
                                                      std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m512d a0 = _mm512_loadu_pd(y + i), a1 = _mm512_loadu_pd(y + i + 8);
        __m512d a2 = _mm512_loadu_pd(y + i + 16), a3 = _mm512_loadu_pd(y + i + 24);
        for (std::size_t k = 0; k < terms; ++k) {
            const __m512d fk = _mm512_set1_pd(f[k]);
            const double* xk = x[k] + i;
            a0 = _mm512_sub_pd(a0, _mm512_mul_pd(_mm512_loadu_pd(xk), fk));
            a1 = _mm512_sub_pd(a1, _mm512_mul_pd(_mm512_loadu_pd(xk + 8), fk));
            a2 = _mm512_sub_pd(a2, _mm512_mul_pd(_mm512_loadu_pd(xk + 16), fk));
            a3 = _mm512_sub_pd(a3, _mm512_mul_pd(_mm512_loadu_pd(xk + 24), fk));
        }
        _mm512_storeu_pd(y + i, a0);
        _mm512_storeu_pd(y + i + 8, a1);
        _mm512_storeu_pd(y + i + 16, a2);
        _mm512_storeu_pd(y + i + 24, a3);
    }
    for (; i + 8 <= n; i += 8) {
        __m512d a = _mm512_loadu_pd(y + i);
        for (std::size_t k = 0; k < terms; ++k)
            a = _mm512_sub_pd(a, _mm512_mul_pd(_mm512_loadu_pd(x[k] + i), _mm512_set1_pd(f[k])));
        _mm512_storeu_pd(y + i, a);
    }
    Scalar(y, x, f, terms, i, n);
}
#endif

}  // namespace combination

// The widest form the processor supports (the baseline one while
// UseBaselineKernels(true) is in force, which switches the shared kernels'
// wide forms off).
inline void SubtractCombination(double* y, const double* const* x, const double* f,
                                std::size_t terms, std::size_t n) noexcept {
    if (terms == 0) return;
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx && n >= detail::kernels::kAvxMinLength) {
        if (combination::hasAvx512) return combination::Avx512(y, x, f, terms, n);
        return combination::Avx(y, x, f, terms, n);
    }
#endif
    combination::Sse2(y, x, f, terms, n);
}

}  // namespace kestrim::linsys
