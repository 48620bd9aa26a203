// Column kernels of the eigensolvers over contiguous runs of Doubles.
//
// Each kernel performs, for every element, exactly the operations of the
// scalar statement written beside it, on the same operands in the same
// order; only independent elements are processed together. Packed SSE2
// arithmetic rounds exactly like its scalar form, so the results are
// bit-identical to the plain loops. (Products are commutative in IEEE
// arithmetic, so a*b and b*a are the same value.)
//
// The scaled updates and plane rotations are the decompositions' kernels
// (decomp/Kernels.h), which also have 256-bit forms. The rotations of the
// solvers map onto the decompositions' Rotate(p, q, c, s), p = y*c + z*s
// and q = z*c - y*s, by commuting single products and sums. (Eigen rejects
// non-finite input, so any NaN here is the processor's default NaN from a
// faulting step; operand order cannot change its bits either.)
//   QL rotation   h = b[i]; b[i] = s*a[i] + c*h; a[i] = c*a[i] - s*h
//                 is Rotate(b, a, c, s);
//   pair rotation z = a[i]; a[i] = q*z + p*b[i]; b[i] = q*b[i] - p*z
//                 is Rotate(a, b, q, p).
#pragma once

#include <cstddef>

#include "decomp/Kernels.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KESTRIM_EIGEN_SSE2 1
#endif

namespace kestrim::detail::eigen::kernels {

using detail::kernels::Axpy;       // y[i] = y[i] + a * x[i]
using detail::kernels::Rotate;     // see above
using detail::kernels::SubScaled;  // y[i] = y[i] - a * x[i]

#if KESTRIM_DECOMP_AVX
// 256-bit form of SubTwoScaled below (same operations, four elements at a
// time).
__attribute__((target("avx"))) inline std::size_t SubTwoScaledAvx(double* v, const double* e, const double* d,
                                                                  double f, double g, std::size_t n) noexcept {
    const __m256d vf = _mm256_set1_pd(f);
    const __m256d vg = _mm256_set1_pd(g);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d t = _mm256_sub_pd(_mm256_loadu_pd(v + i), _mm256_mul_pd(vf, _mm256_loadu_pd(e + i)));
        _mm256_storeu_pd(v + i, _mm256_sub_pd(t, _mm256_mul_pd(vg, _mm256_loadu_pd(d + i))));
    }
    return i;
}
#endif

// v[i] = (v[i] - f * e[i]) - g * d[i]
inline void SubTwoScaled(double* v, const double* e, const double* d, double f, double g, std::size_t n) noexcept {
    std::size_t i = 0;
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx && n >= detail::kernels::kAvxMinLength) i = SubTwoScaledAvx(v, e, d, f, g, n);
#endif
#ifdef KESTRIM_EIGEN_SSE2
    const __m128d vf = _mm_set1_pd(f);
    const __m128d vg = _mm_set1_pd(g);
    for (; i + 2 <= n; i += 2) {
        const __m128d t = _mm_sub_pd(_mm_loadu_pd(v + i), _mm_mul_pd(vf, _mm_loadu_pd(e + i)));
        _mm_storeu_pd(v + i, _mm_sub_pd(t, _mm_mul_pd(vg, _mm_loadu_pd(d + i))));
    }
#endif
    for (; i < n; ++i) v[i] = (v[i] - f * e[i]) - g * d[i];
}

#if KESTRIM_DECOMP_AVX
// 256-bit forms of Reflect3 and Reflect2 below (same operations, four
// elements at a time).
__attribute__((target("avx"))) inline std::size_t Reflect3Avx(double* a, double* b, double* c, double x, double y,
                                                              double zz, double q, double r,
                                                              std::size_t n) noexcept {
    const __m256d vx = _mm256_set1_pd(x), vy = _mm256_set1_pd(y), vz = _mm256_set1_pd(zz);
    const __m256d vq = _mm256_set1_pd(q), vr = _mm256_set1_pd(r);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d va = _mm256_loadu_pd(a + i);
        const __m256d vb = _mm256_loadu_pd(b + i);
        const __m256d vc = _mm256_loadu_pd(c + i);
        const __m256d t = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(vx, va), _mm256_mul_pd(vy, vb)),
                                        _mm256_mul_pd(vz, vc));
        _mm256_storeu_pd(a + i, _mm256_sub_pd(va, t));
        _mm256_storeu_pd(b + i, _mm256_sub_pd(vb, _mm256_mul_pd(t, vq)));
        _mm256_storeu_pd(c + i, _mm256_sub_pd(vc, _mm256_mul_pd(t, vr)));
    }
    return i;
}

__attribute__((target("avx"))) inline std::size_t Reflect2Avx(double* a, double* b, double x, double y, double q,
                                                              std::size_t n) noexcept {
    const __m256d vx = _mm256_set1_pd(x), vy = _mm256_set1_pd(y), vq = _mm256_set1_pd(q);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d va = _mm256_loadu_pd(a + i);
        const __m256d vb = _mm256_loadu_pd(b + i);
        const __m256d t = _mm256_add_pd(_mm256_mul_pd(vx, va), _mm256_mul_pd(vy, vb));
        _mm256_storeu_pd(a + i, _mm256_sub_pd(va, t));
        _mm256_storeu_pd(b + i, _mm256_sub_pd(vb, _mm256_mul_pd(t, vq)));
    }
    return i;
}
#endif

#if KESTRIM_DECOMP_AVX
// out[c] = 0, then out[c] = out[c] + x[i] * y[c][i] for i = top down to
// bottom, for eight columns y[0..7]. Four rows of the eight columns are
// multiplied at once; their products are transposed so that one register
// holds a row's products of four columns, and the rows are added from the
// highest down, so each sum keeps its order.
__attribute__((target("avx"))) inline void DescendingDots8Avx(const double* x, const double* const y[8],
                                                              std::size_t bottom, std::size_t top,
                                                              double out[8]) noexcept {
    __m256d acc[2] = {_mm256_setzero_pd(), _mm256_setzero_pd()};
    std::size_t i = top + 1;  // rows i .. top are done
    for (; i >= bottom + 4; i -= 4) {
        const __m256d xv = _mm256_loadu_pd(x + i - 4);
        for (int half = 0; half < 2; ++half) {
            const __m256d p0 = _mm256_mul_pd(xv, _mm256_loadu_pd(y[4 * half] + i - 4));
            const __m256d p1 = _mm256_mul_pd(xv, _mm256_loadu_pd(y[4 * half + 1] + i - 4));
            const __m256d p2 = _mm256_mul_pd(xv, _mm256_loadu_pd(y[4 * half + 2] + i - 4));
            const __m256d p3 = _mm256_mul_pd(xv, _mm256_loadu_pd(y[4 * half + 3] + i - 4));
            const __m256d lo01 = _mm256_unpacklo_pd(p0, p1);
            const __m256d hi01 = _mm256_unpackhi_pd(p0, p1);
            const __m256d lo23 = _mm256_unpacklo_pd(p2, p3);
            const __m256d hi23 = _mm256_unpackhi_pd(p2, p3);
            acc[half] = _mm256_add_pd(acc[half], _mm256_permute2f128_pd(hi01, hi23, 0x31));  // row i - 1
            acc[half] = _mm256_add_pd(acc[half], _mm256_permute2f128_pd(lo01, lo23, 0x31));  // row i - 2
            acc[half] = _mm256_add_pd(acc[half], _mm256_permute2f128_pd(hi01, hi23, 0x20));  // row i - 3
            acc[half] = _mm256_add_pd(acc[half], _mm256_permute2f128_pd(lo01, lo23, 0x20));  // row i - 4
        }
    }
    _mm256_storeu_pd(out, acc[0]);
    _mm256_storeu_pd(out + 4, acc[1]);
    while (i > bottom) {
        --i;
        for (int c = 0; c < 8; ++c) out[c] = out[c] + x[i] * y[c][i];
    }
}
#endif

// out[c] as DescendingDots8Avx, eight chains interleaved (no vector
// registers needed).
inline void DescendingDots8(const double* x, const double* const y[8], std::size_t bottom, std::size_t top,
                            double out[8]) noexcept {
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx && top + 1 >= bottom + detail::kernels::kAvxMinLength)
        return DescendingDots8Avx(x, y, bottom, top, out);
#endif
    for (int c = 0; c < 8; ++c) out[c] = 0.0;
    for (std::size_t i = top + 1; i-- > bottom;)
        for (int c = 0; c < 8; ++c) out[c] = out[c] + x[i] * y[c][i];
}

// A three-row reflector from the right: t = x*a[i] + y*b[i] + zz*c[i];
// a[i] = a[i] - t; b[i] = b[i] - t*q; c[i] = c[i] - t*r.
inline void Reflect3(double* a, double* b, double* c, double x, double y, double zz, double q, double r,
                     std::size_t n) noexcept {
    std::size_t i = 0;
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx && n >= detail::kernels::kAvxMinLength) i = Reflect3Avx(a, b, c, x, y, zz, q, r, n);
#endif
#ifdef KESTRIM_EIGEN_SSE2
    const __m128d vx = _mm_set1_pd(x), vy = _mm_set1_pd(y), vz = _mm_set1_pd(zz);
    const __m128d vq = _mm_set1_pd(q), vr = _mm_set1_pd(r);
    for (; i + 2 <= n; i += 2) {
        const __m128d va = _mm_loadu_pd(a + i);
        const __m128d vb = _mm_loadu_pd(b + i);
        const __m128d vcc = _mm_loadu_pd(c + i);
        const __m128d t =
            _mm_add_pd(_mm_add_pd(_mm_mul_pd(vx, va), _mm_mul_pd(vy, vb)), _mm_mul_pd(vz, vcc));
        _mm_storeu_pd(a + i, _mm_sub_pd(va, t));
        _mm_storeu_pd(b + i, _mm_sub_pd(vb, _mm_mul_pd(t, vq)));
        _mm_storeu_pd(c + i, _mm_sub_pd(vcc, _mm_mul_pd(t, vr)));
    }
#endif
    for (; i < n; ++i) {
        const double t = x * a[i] + y * b[i] + zz * c[i];
        a[i] = a[i] - t;
        b[i] = b[i] - t * q;
        c[i] = c[i] - t * r;
    }
}

// A two-row reflector from the right: t = x*a[i] + y*b[i];
// a[i] = a[i] - t; b[i] = b[i] - t*q.
inline void Reflect2(double* a, double* b, double x, double y, double q, std::size_t n) noexcept {
    std::size_t i = 0;
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx && n >= detail::kernels::kAvxMinLength) i = Reflect2Avx(a, b, x, y, q, n);
#endif
#ifdef KESTRIM_EIGEN_SSE2
    const __m128d vx = _mm_set1_pd(x), vy = _mm_set1_pd(y), vq = _mm_set1_pd(q);
    for (; i + 2 <= n; i += 2) {
        const __m128d va = _mm_loadu_pd(a + i);
        const __m128d vb = _mm_loadu_pd(b + i);
        const __m128d t = _mm_add_pd(_mm_mul_pd(vx, va), _mm_mul_pd(vy, vb));
        _mm_storeu_pd(a + i, _mm_sub_pd(va, t));
        _mm_storeu_pd(b + i, _mm_sub_pd(vb, _mm_mul_pd(t, vq)));
    }
#endif
    for (; i < n; ++i) {
        const double t = x * a[i] + y * b[i];
        a[i] = a[i] - t;
        b[i] = b[i] - t * q;
    }
}

// A three-row reflector from the left on `count` columns, rows k .. k + 2
// of each (`top` points at row k of the first column, `ld` is the column
// stride): t = a + q*b + r*c; a = a - t*x; b = b - t*y; c = c - t*zz.
// Two columns are processed together.
inline void RowReflect3(double* top, std::size_t ld, std::size_t count, double q, double r, double x, double y,
                        double zz) noexcept {
    std::size_t j = 0;
#ifdef KESTRIM_EIGEN_SSE2
    const __m128d vq = _mm_set1_pd(q), vr = _mm_set1_pd(r);
    const __m128d vx = _mm_set1_pd(x), vy = _mm_set1_pd(y), vz = _mm_set1_pd(zz);
    for (; j + 2 <= count; j += 2) {
        double* p0 = top + j * ld;
        double* p1 = p0 + ld;
        const __m128d a = _mm_loadh_pd(_mm_load_sd(p0), p1);
        const __m128d b = _mm_loadh_pd(_mm_load_sd(p0 + 1), p1 + 1);
        const __m128d c = _mm_loadh_pd(_mm_load_sd(p0 + 2), p1 + 2);
        const __m128d t = _mm_add_pd(_mm_add_pd(a, _mm_mul_pd(vq, b)), _mm_mul_pd(vr, c));
        const __m128d na = _mm_sub_pd(a, _mm_mul_pd(t, vx));
        const __m128d nb = _mm_sub_pd(b, _mm_mul_pd(t, vy));
        const __m128d nc = _mm_sub_pd(c, _mm_mul_pd(t, vz));
        _mm_storel_pd(p0, na);
        _mm_storeh_pd(p1, na);
        _mm_storel_pd(p0 + 1, nb);
        _mm_storeh_pd(p1 + 1, nb);
        _mm_storel_pd(p0 + 2, nc);
        _mm_storeh_pd(p1 + 2, nc);
    }
#endif
    for (; j < count; ++j) {
        double* p0 = top + j * ld;
        const double t = p0[0] + q * p0[1] + r * p0[2];
        p0[0] = p0[0] - t * x;
        p0[1] = p0[1] - t * y;
        p0[2] = p0[2] - t * zz;
    }
}

}  // namespace kestrim::detail::eigen::kernels
