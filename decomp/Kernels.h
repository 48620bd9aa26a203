// Vector kernels over contiguous runs of doubles (columns of the
// column-major work arrays, rows of the row-major ones), shared by the
// orthogonal decompositions, the eigensolvers and the eliminations.
//
// Each kernel performs, for every element, exactly the arithmetic a plain
// scalar loop would: the same operations on the same operands in the same
// order. Packed SSE2 (and, where available, AVX) instructions compute two
// (four) independent elements at once and round exactly like their scalar
// forms, so results are bit-identical. No fused multiply-add is used.
// Sums are never reassociated: a dot product accumulates sequentially in
// increasing index order; the multi-column forms only interleave several
// independent sums.
//
// The element-wise kernels are complete in this header, so that any
// subsystem can use them without linking the decompositions; the
// multi-column forms of the decompositions have their 256-bit versions in
// KernelsAvx.cpp.
#pragma once

#include <cmath>
#include <cstddef>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KESTRIM_DECOMP_SSE2 1
#endif

// 256-bit forms, compiled for AVX and chosen at run time.
#if defined(__GNUC__) && defined(__x86_64__)
#define KESTRIM_DECOMP_AVX 1
#include <immintrin.h>
#else
#define KESTRIM_DECOMP_AVX 0
#endif

namespace kestrim::detail::kernels {

#if KESTRIM_DECOMP_AVX
inline bool DetectAvx() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
}

// True when the processor (and the operating system) support AVX. Tests may
// switch it off to exercise the 128-bit forms; results are the same bits.
inline bool useAvx = DetectAvx();

struct ColumnOp;
void ApplyColumnOpsAvx(double* base, std::size_t ld, std::size_t rows, const ColumnOp* ops,
                       std::size_t nops, const double* c, const double* s) noexcept;
void Dot8Avx(const double* x, const double* const y[8], std::size_t n, double out[8]) noexcept;
void Dot16Avx(const double* x, const double* const y[16], std::size_t n, double out[16]) noexcept;
// Runs shorter than this stay on the inline 128-bit path.
inline constexpr std::size_t kAvxMinLength = 16;

// y[i] = y[i] + a * x[i], or y[i] = y[i] - a * x[i] when Subtract.
template <bool Subtract>
__attribute__((target("avx"))) inline void ScaledUpdateAvx(double* y, const double* x, double a,
                                                           std::size_t n) noexcept {
    std::size_t i = 0;
    const __m256d va = _mm256_set1_pd(a);
    for (; i + 8 <= n; i += 8) {
        const __m256d p0 = _mm256_mul_pd(va, _mm256_loadu_pd(x + i));
        const __m256d p1 = _mm256_mul_pd(va, _mm256_loadu_pd(x + i + 4));
        const __m256d y0 = _mm256_loadu_pd(y + i), y1 = _mm256_loadu_pd(y + i + 4);
        if constexpr (Subtract) {
            _mm256_storeu_pd(y + i, _mm256_sub_pd(y0, p0));
            _mm256_storeu_pd(y + i + 4, _mm256_sub_pd(y1, p1));
        } else {
            _mm256_storeu_pd(y + i, _mm256_add_pd(y0, p0));
            _mm256_storeu_pd(y + i + 4, _mm256_add_pd(y1, p1));
        }
    }
    for (; i + 4 <= n; i += 4) {
        const __m256d p = _mm256_mul_pd(va, _mm256_loadu_pd(x + i));
        const __m256d y0 = _mm256_loadu_pd(y + i);
        _mm256_storeu_pd(y + i, Subtract ? _mm256_sub_pd(y0, p) : _mm256_add_pd(y0, p));
    }
    for (; i < n; ++i) y[i] = Subtract ? y[i] - a * x[i] : y[i] + a * x[i];
}

// The plane rotation of Rotate below.
__attribute__((target("avx"))) inline void RotateAvx(double* p, double* q, double c, double s,
                                                     std::size_t n) noexcept {
    std::size_t i = 0;
    const __m256d vc = _mm256_set1_pd(c);
    const __m256d vs = _mm256_set1_pd(s);
    for (; i + 4 <= n; i += 4) {
        const __m256d y = _mm256_loadu_pd(p + i);
        const __m256d z = _mm256_loadu_pd(q + i);
        _mm256_storeu_pd(p + i, _mm256_add_pd(_mm256_mul_pd(y, vc), _mm256_mul_pd(z, vs)));
        _mm256_storeu_pd(q + i, _mm256_sub_pd(_mm256_mul_pd(z, vc), _mm256_mul_pd(y, vs)));
    }
    for (; i < n; ++i) {
        const double y = p[i];
        const double z = q[i];
        p[i] = y * c + z * s;
        q[i] = z * c - y * s;
    }
}
#endif

// y[i] = y[i] + a * x[i], or y[i] = y[i] - a * x[i] when Subtract.
template <bool Subtract>
inline void ScaledUpdate(double* y, const double* x, double a, std::size_t n) noexcept {
#if KESTRIM_DECOMP_AVX
    if (useAvx && n >= kAvxMinLength) return ScaledUpdateAvx<Subtract>(y, x, a, n);
#endif
    std::size_t i = 0;
#ifdef KESTRIM_DECOMP_SSE2
    const __m128d va = _mm_set1_pd(a);
    for (; i + 2 <= n; i += 2) {
        const __m128d prod = _mm_mul_pd(va, _mm_loadu_pd(x + i));
        const __m128d old = _mm_loadu_pd(y + i);
        _mm_storeu_pd(y + i, Subtract ? _mm_sub_pd(old, prod) : _mm_add_pd(old, prod));
    }
#endif
    for (; i < n; ++i) y[i] = Subtract ? y[i] - a * x[i] : y[i] + a * x[i];
}

// y[i] = y[i] + a * x[i]
inline void Axpy(double* y, const double* x, double a, std::size_t n) noexcept {
    ScaledUpdate<false>(y, x, a, n);
}

// y[i] = y[i] - a * x[i]
inline void SubScaled(double* y, const double* x, double a, std::size_t n) noexcept {
    ScaledUpdate<true>(y, x, a, n);
}

// x[i] = a * x[i]
inline void Scale(double* x, double a, std::size_t n) noexcept {
    std::size_t i = 0;
#ifdef KESTRIM_DECOMP_SSE2
    const __m128d va = _mm_set1_pd(a);
    for (; i + 2 <= n; i += 2) _mm_storeu_pd(x + i, _mm_mul_pd(va, _mm_loadu_pd(x + i)));
#endif
    for (; i < n; ++i) x[i] = a * x[i];
}

// x[i] = x[i] / d
inline void Divide(double* x, double d, std::size_t n) noexcept {
    std::size_t i = 0;
#ifdef KESTRIM_DECOMP_SSE2
    const __m128d vd = _mm_set1_pd(d);
    for (; i + 2 <= n; i += 2) _mm_storeu_pd(x + i, _mm_div_pd(_mm_loadu_pd(x + i), vd));
#endif
    for (; i < n; ++i) x[i] = x[i] / d;
}

// Plane rotation of two columns: with y = p[i], z = q[i],
// p[i] = y*c + z*s and q[i] = z*c - y*s.
// Single IEEE products and sums are commutative, so any rotation written
// with its factors or terms swapped (c*y + s*z, s*z + c*y, ...) is this
// kernel with the columns and coefficients named accordingly.
inline void Rotate(double* p, double* q, double c, double s, std::size_t n) noexcept {
#if KESTRIM_DECOMP_AVX
    if (useAvx && n >= kAvxMinLength) return RotateAvx(p, q, c, s, n);
#endif
    std::size_t i = 0;
#ifdef KESTRIM_DECOMP_SSE2
    const __m128d vc = _mm_set1_pd(c);
    const __m128d vs = _mm_set1_pd(s);
    for (; i + 2 <= n; i += 2) {
        const __m128d y = _mm_loadu_pd(p + i);
        const __m128d z = _mm_loadu_pd(q + i);
        _mm_storeu_pd(p + i, _mm_add_pd(_mm_mul_pd(y, vc), _mm_mul_pd(z, vs)));
        _mm_storeu_pd(q + i, _mm_sub_pd(_mm_mul_pd(z, vc), _mm_mul_pd(y, vs)));
    }
#endif
    for (; i < n; ++i) {
        const double y = p[i];
        const double z = q[i];
        p[i] = y * c + z * s;
        q[i] = z * c - y * s;
    }
}

// A column operation of the sweeps, recorded to be applied later: with
// count > 0, the rotations t = 0 .. count-1 of columns first+t and
// first+t+1 by (c[offset+t], s[offset+t]), each as Rotate(p, q, c, s) with
// p the column first+t; with count == 0, the negation of column `first`.
// A descending operation walks down instead: its rotation t pairs column
// first-t (p) with column first-t-1 (q).
struct ColumnOp {
    std::size_t first;
    std::size_t count;
    std::size_t offset;
    bool descending = false;

    // Distance from the p column of a rotation to its q column.
    std::ptrdiff_t Step(std::size_t ld) const noexcept {
        return descending ? -static_cast<std::ptrdiff_t>(ld) : static_cast<std::ptrdiff_t>(ld);
    }
};

// Applies ops[0 .. nops-1] in order to one row of a column-major array.
inline void ApplyColumnOpsToRow(double* base, std::size_t ld, std::size_t r, const ColumnOp* ops,
                                std::size_t nops, const double* c, const double* s) noexcept {
    for (std::size_t o = 0; o < nops; ++o) {
        const ColumnOp& op = ops[o];
        double* col = base + op.first * ld + r;
        if (op.count == 0) {
            *col = -*col;
            continue;
        }
        const double* cc = c + op.offset;
        const double* ss = s + op.offset;
        const std::ptrdiff_t step = op.Step(ld);
        double y = *col;
        for (std::size_t t = 0; t < op.count; ++t) {
            double* next = col + step;
            const double z = *next;
            *col = y * cc[t] + z * ss[t];
            y = z * cc[t] - y * ss[t];
            col = next;
        }
        *col = y;
    }
}

// Applies a sequence of recorded column operations to the rows 0 .. rows-1
// of a column-major array. Every row receives the operations in their
// order, exactly as if each had been applied to whole columns in turn;
// going through them a block of rows at a time keeps that block in cache
// for all the operations, instead of sweeping the whole array once per
// operation.
inline void ApplyColumnOps(double* base, std::size_t ld, std::size_t rows, const ColumnOp* ops,
                           std::size_t nops, const double* c, const double* s) noexcept {
    if (nops == 0) return;
#if KESTRIM_DECOMP_AVX
    if (useAvx && rows >= kAvxMinLength) return ApplyColumnOpsAvx(base, ld, rows, ops, nops, c, s);
#endif
    std::size_t r = 0;
#ifdef KESTRIM_DECOMP_SSE2
    const __m128d signBit = _mm_set1_pd(-0.0);
    for (; r + 8 <= rows; r += 8) {
        for (std::size_t o = 0; o < nops; ++o) {
            const ColumnOp& op = ops[o];
            double* col = base + op.first * ld + r;
            if (op.count == 0) {
                for (int v = 0; v < 4; ++v)
                    _mm_storeu_pd(col + 2 * v, _mm_xor_pd(_mm_loadu_pd(col + 2 * v), signBit));
                continue;
            }
            const std::ptrdiff_t step = op.Step(ld);
            __m128d y0 = _mm_loadu_pd(col), y1 = _mm_loadu_pd(col + 2);
            __m128d y2 = _mm_loadu_pd(col + 4), y3 = _mm_loadu_pd(col + 6);
            for (std::size_t t = 0; t < op.count; ++t) {
                double* next = col + step;
                const __m128d vc = _mm_set1_pd(c[op.offset + t]);
                const __m128d vs = _mm_set1_pd(s[op.offset + t]);
                const __m128d z0 = _mm_loadu_pd(next), z1 = _mm_loadu_pd(next + 2);
                const __m128d z2 = _mm_loadu_pd(next + 4), z3 = _mm_loadu_pd(next + 6);
                _mm_storeu_pd(col, _mm_add_pd(_mm_mul_pd(y0, vc), _mm_mul_pd(z0, vs)));
                _mm_storeu_pd(col + 2, _mm_add_pd(_mm_mul_pd(y1, vc), _mm_mul_pd(z1, vs)));
                _mm_storeu_pd(col + 4, _mm_add_pd(_mm_mul_pd(y2, vc), _mm_mul_pd(z2, vs)));
                _mm_storeu_pd(col + 6, _mm_add_pd(_mm_mul_pd(y3, vc), _mm_mul_pd(z3, vs)));
                y0 = _mm_sub_pd(_mm_mul_pd(z0, vc), _mm_mul_pd(y0, vs));
                y1 = _mm_sub_pd(_mm_mul_pd(z1, vc), _mm_mul_pd(y1, vs));
                y2 = _mm_sub_pd(_mm_mul_pd(z2, vc), _mm_mul_pd(y2, vs));
                y3 = _mm_sub_pd(_mm_mul_pd(z3, vc), _mm_mul_pd(y3, vs));
                col = next;
            }
            _mm_storeu_pd(col, y0);
            _mm_storeu_pd(col + 2, y1);
            _mm_storeu_pd(col + 4, y2);
            _mm_storeu_pd(col + 6, y3);
        }
    }
#endif
    for (; r < rows; ++r) ApplyColumnOpsToRow(base, ld, r, ops, nops, c, s);
}

// s = 0; s = s + x[i]*y[i] for i = 0 .. n-1 in order.
inline double Dot(const double* x, const double* y, std::size_t n) noexcept {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + x[i] * y[i];
    return s;
}

// Four independent dot products of x with y0..y3, each accumulated in
// increasing index order. Interleaving the four chains hides the latency
// of the additions without changing any sum.
inline void Dot4(const double* x, const double* y0, const double* y1, const double* y2,
                 const double* y3, std::size_t n, double out[4]) noexcept {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double xi = x[i];
        s0 = s0 + xi * y0[i];
        s1 = s1 + xi * y1[i];
        s2 = s2 + xi * y2[i];
        s3 = s3 + xi * y3[i];
    }
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
    out[3] = s3;
}

// Eight independent dot products of x with y[0..7], as Dot4.
inline void Dot8(const double* x, const double* const y[8], std::size_t n, double out[8]) noexcept {
#if KESTRIM_DECOMP_AVX
    if (useAvx && n >= kAvxMinLength) return Dot8Avx(x, y, n, out);
#endif
    Dot4(x, y[0], y[1], y[2], y[3], n, out);
    Dot4(x, y[4], y[5], y[6], y[7], n, out + 4);
}

// Sixteen independent dot products of x with y[0..15], as Dot4.
inline void Dot16(const double* x, const double* const y[16], std::size_t n,
                  double out[16]) noexcept {
#if KESTRIM_DECOMP_AVX
    if (useAvx && n >= kAvxMinLength) return Dot16Avx(x, y, n, out);
#endif
    for (int g = 0; g < 4; ++g) Dot4(x, y[4 * g], y[4 * g + 1], y[4 * g + 2], y[4 * g + 3], n, out + 4 * g);
}

// For columns j = first .. last-1 (column(j) gives a pointer to its first
// element), computes the dot product of x with the column over len
// elements and passes it to use(j, s), in increasing j. The dot products of
// a block of columns are all formed before `use` is called for any of them,
// so `use` may change the columns it is given, but not later ones and not x.
template <class Column, class Use>
inline void ColumnDots(const double* x, std::size_t first, std::size_t last, std::size_t len,
                       Column&& column, Use&& use) {
    std::size_t j = first;
    for (; j + 16 <= last; j += 16) {
        const double* y[16];
        for (std::size_t t = 0; t < 16; ++t) y[t] = column(j + t);
        double s[16];
        Dot16(x, y, len, s);
        for (std::size_t t = 0; t < 16; ++t) use(j + t, s[t]);
    }
    for (; j + 8 <= last; j += 8) {
        const double* y[8];
        for (std::size_t t = 0; t < 8; ++t) y[t] = column(j + t);
        double s[8];
        Dot8(x, y, len, s);
        for (std::size_t t = 0; t < 8; ++t) use(j + t, s[t]);
    }
    for (; j + 4 <= last; j += 4) {
        double s[4];
        Dot4(x, column(j), column(j + 1), column(j + 2), column(j + 3), len, s);
        for (std::size_t t = 0; t < 4; ++t) use(j + t, s[t]);
    }
    for (; j < last; ++j) use(j, Dot(x, column(j), len));
}

// s = 0; s = s + |x[i]| in order.
inline double SumAbs(const double* x, std::size_t n) noexcept {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + std::fabs(x[i]);
    return s;
}

}  // namespace kestrim::detail::kernels
