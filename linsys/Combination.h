// Subtracting (or adding) several scaled vectors from one, the inner step
// of the eliminations' triangular solves, column updates and sums:
//   y[i] = (...((y[i] - x[0][i] * f[0]) - x[1][i] * f[1]) ...) - x[t-1][i] * f[t-1]
// for i in [0, n). Every element receives its products one at a time, in
// increasing term order, each a separately rounded multiply then subtract
// (or add), so the result is the same bits as `terms` passes of
// y[i] = y[i] - f * x[i] (the IEEE product is commutative); a block of y
// stays in registers for all the terms instead of being loaded and stored
// once per term. Only the number of elements per instruction differs
// between the forms below.
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

template <bool Subtract>
inline void Scalar(double* y, const double* const* x, const double* f, std::size_t terms,
                   std::size_t begin, std::size_t n) noexcept {
    for (std::size_t i = begin; i < n; ++i) {
        double a = y[i];
        for (std::size_t k = 0; k < terms; ++k) a = Subtract ? a - x[k][i] * f[k] : a + x[k][i] * f[k];
        y[i] = a;
    }
}

#ifdef KESTRIM_DECOMP_SSE2
// One term for a block of elements: a - x * f, or a + x * f.
template <bool Subtract>
inline __m128d Step(__m128d a, const double* x, __m128d f) noexcept {
    const __m128d p = _mm_mul_pd(_mm_loadu_pd(x), f);
    return Subtract ? _mm_sub_pd(a, p) : _mm_add_pd(a, p);
}
#endif

// Two elements per instruction (the x86-64 baseline).
template <bool Subtract>
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
            a0 = Step<Subtract>(a0, xk, fk);
            a1 = Step<Subtract>(a1, xk + 2, fk);
            a2 = Step<Subtract>(a2, xk + 4, fk);
            a3 = Step<Subtract>(a3, xk + 6, fk);
        }
        _mm_storeu_pd(y + i, a0);
        _mm_storeu_pd(y + i + 2, a1);
        _mm_storeu_pd(y + i + 4, a2);
        _mm_storeu_pd(y + i + 6, a3);
    }
#endif
    Scalar<Subtract>(y, x, f, terms, i, n);
}

#if KESTRIM_DECOMP_AVX
template <bool Subtract>
__attribute__((target("avx"))) inline __m256d Step(__m256d a, const double* x, __m256d f) noexcept {
    const __m256d p = _mm256_mul_pd(_mm256_loadu_pd(x), f);
    return Subtract ? _mm256_sub_pd(a, p) : _mm256_add_pd(a, p);
}

template <bool Subtract>
__attribute__((target("avx"))) inline void Avx(double* y, const double* const* x, const double* f,
                                               std::size_t terms, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m256d a0 = _mm256_loadu_pd(y + i), a1 = _mm256_loadu_pd(y + i + 4);
        __m256d a2 = _mm256_loadu_pd(y + i + 8), a3 = _mm256_loadu_pd(y + i + 12);
        for (std::size_t k = 0; k < terms; ++k) {
            const __m256d fk = _mm256_broadcast_sd(f + k);
            const double* xk = x[k] + i;
            a0 = Step<Subtract>(a0, xk, fk);
            a1 = Step<Subtract>(a1, xk + 4, fk);
            a2 = Step<Subtract>(a2, xk + 8, fk);
            a3 = Step<Subtract>(a3, xk + 12, fk);
        }
        _mm256_storeu_pd(y + i, a0);
        _mm256_storeu_pd(y + i + 4, a1);
        _mm256_storeu_pd(y + i + 8, a2);
        _mm256_storeu_pd(y + i + 12, a3);
    }
    for (; i + 4 <= n; i += 4) {
        __m256d a = _mm256_loadu_pd(y + i);
        for (std::size_t k = 0; k < terms; ++k) a = Step<Subtract>(a, x[k] + i, _mm256_broadcast_sd(f + k));
        _mm256_storeu_pd(y + i, a);
    }
    Scalar<Subtract>(y, x, f, terms, i, n);
}

template <bool Subtract>
__attribute__((target("avx512f"))) inline __m512d Step(__m512d a, const double* x, __m512d f) noexcept {
    const __m512d p = _mm512_mul_pd(_mm512_loadu_pd(x), f);
    return Subtract ? _mm512_sub_pd(a, p) : _mm512_add_pd(a, p);
}

template <bool Subtract>
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
            a0 = Step<Subtract>(a0, xk, fk);
            a1 = Step<Subtract>(a1, xk + 8, fk);
            a2 = Step<Subtract>(a2, xk + 16, fk);
            a3 = Step<Subtract>(a3, xk + 24, fk);
        }
        _mm512_storeu_pd(y + i, a0);
        _mm512_storeu_pd(y + i + 8, a1);
        _mm512_storeu_pd(y + i + 16, a2);
        _mm512_storeu_pd(y + i + 24, a3);
    }
    for (; i + 8 <= n; i += 8) {
        __m512d a = _mm512_loadu_pd(y + i);
        for (std::size_t k = 0; k < terms; ++k) a = Step<Subtract>(a, x[k] + i, _mm512_set1_pd(f[k]));
        _mm512_storeu_pd(y + i, a);
    }
    Scalar<Subtract>(y, x, f, terms, i, n);
}
#endif

}  // namespace combination

// The widest form the processor supports (the baseline one while
// UseBaselineKernels(true) is in force, which switches the shared kernels'
// wide forms off).
template <bool Subtract>
inline void Combination(double* y, const double* const* x, const double* f, std::size_t terms,
                        std::size_t n) noexcept {
    if (terms == 0) return;
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx && n >= detail::kernels::kAvxMinLength) {
        if (combination::hasAvx512) return combination::Avx512<Subtract>(y, x, f, terms, n);
        return combination::Avx<Subtract>(y, x, f, terms, n);
    }
#endif
    combination::Sse2<Subtract>(y, x, f, terms, n);
}

inline void SubtractCombination(double* y, const double* const* x, const double* f,
                                std::size_t terms, std::size_t n) noexcept {
    Combination<true>(y, x, f, terms, n);
}

// y[i] = (...((y[i] + x[0][i] * f[0]) + x[1][i] * f[1]) ...) + x[t-1][i] * f[t-1].
inline void AddCombination(double* y, const double* const* x, const double* f, std::size_t terms,
                           std::size_t n) noexcept {
    Combination<false>(y, x, f, terms, n);
}

}  // namespace kestrim::linsys
