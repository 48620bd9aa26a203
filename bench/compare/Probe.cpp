// The floating-point ceiling of one core for independent multiply and add
// streams (each product rounded, then added: no fused multiply-add), the
// ceiling that bit-exact kernels can reach, and for comparison the fused
// multiply-add peak that BLAS kernels use.
#include "bench/compare/Compare.h"

#include <immintrin.h>

#include <algorithm>

namespace compare {
namespace {

constexpr int kChains = 24;
constexpr long kIterations = 4'000'000;

template <class Step>
double Rate(int lanes, Step&& step) {
    double best = 0;
    for (int rep = 0; rep < 5; ++rep) {
        const double t0 = Now(Clock::ThreadCpu);
        const double sink = step();
        const double s = Now(Clock::ThreadCpu) - t0;
        if (sink == 12345.0) return 0;  // keeps the result alive
        const double flops = 2.0 * kChains * lanes * static_cast<double>(kIterations);
        best = std::max(best, flops / s * 1e-9);
    }
    return best;
}

// acc = acc * c + d on kChains independent registers.
__attribute__((target("avx512f"))) double MulAdd512() {
    __m512d acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = _mm512_set1_pd(1.0 + i * 1e-3);
    const __m512d c = _mm512_set1_pd(0.999999), d = _mm512_set1_pd(1e-6);
    for (long it = 0; it < kIterations; ++it)
        // Unrolled, so that the chains live in registers, not in memory.
#pragma GCC unroll 32
        for (int i = 0; i < kChains; ++i) acc[i] = _mm512_add_pd(_mm512_mul_pd(acc[i], c), d);
    __m512d s = acc[0];
    for (int i = 1; i < kChains; ++i) s = _mm512_add_pd(s, acc[i]);
    double out[8];
    _mm512_storeu_pd(out, s);
    return out[0] + out[7];
}

__attribute__((target("avx512f"))) double Fma512() {
    __m512d acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = _mm512_set1_pd(1.0 + i * 1e-3);
    const __m512d c = _mm512_set1_pd(0.999999), d = _mm512_set1_pd(1e-6);
    for (long it = 0; it < kIterations; ++it)
        // Unrolled, so that the chains live in registers, not in memory.
#pragma GCC unroll 32
        for (int i = 0; i < kChains; ++i) acc[i] = _mm512_fmadd_pd(acc[i], c, d);
    __m512d s = acc[0];
    for (int i = 1; i < kChains; ++i) s = _mm512_add_pd(s, acc[i]);
    double out[8];
    _mm512_storeu_pd(out, s);
    return out[0] + out[7];
}

constexpr int kChains256 = 12;  // 16 registers

__attribute__((target("avx2"))) double MulAdd256() {
    __m256d acc[kChains256];
    for (int i = 0; i < kChains256; ++i) acc[i] = _mm256_set1_pd(1.0 + i * 1e-3);
    const __m256d c = _mm256_set1_pd(0.999999), d = _mm256_set1_pd(1e-6);
    for (long it = 0; it < kIterations * 2; ++it)
        // Unrolled, so that the chains live in registers, not in memory.
#pragma GCC unroll 32
        for (int i = 0; i < kChains256; ++i) acc[i] = _mm256_add_pd(_mm256_mul_pd(acc[i], c), d);
    double out[4];
    __m256d s = acc[0];
    for (int i = 1; i < kChains256; ++i) s = _mm256_add_pd(s, acc[i]);
    _mm256_storeu_pd(out, s);
    return out[0] + out[1] + out[2] + out[3];
}

}  // namespace

Ceiling ProbeCeiling() {
    Ceiling c;
    if (__builtin_cpu_supports("avx512f")) {
        c.noFma = Rate(8, MulAdd512);
        c.isa = "AVX-512";
        if (__builtin_cpu_supports("fma")) c.fma = Rate(8, Fma512);
    } else if (__builtin_cpu_supports("avx2")) {
        // Half the chains for twice the iterations: the same operation count.
        c.noFma = Rate(4, MulAdd256);
        c.isa = "AVX2";
    }
    return c;
}

}  // namespace compare
