#include "linsys/Kernels.h"

#include <immintrin.h>

#include <algorithm>

namespace kestrim::linsys {

namespace {

// Columns a register tile does not cover, and rows below the last full
// block of four: one row at a time, one k at a time.
void SubProductsTail(double* c, std::size_t ldc, const double* a, std::size_t lda, const double* b,
                     std::size_t ldb, std::size_t rows, std::size_t j0, std::size_t cols,
                     std::size_t depth) noexcept {
    for (std::size_t i = 0; i < rows; ++i) {
        double* ci = c + i * ldc;
        const double* ai = a + i * lda;
        for (std::size_t j = j0; j < cols; ++j) {
            double v = ci[j];
            for (std::size_t k = 0; k < depth; ++k) v = v - ai[k] * b[k * ldb + j];
            ci[j] = v;
        }
    }
}

// The columns are taken in tiles of two vectors. Each tile's rows of b are
// first packed next to each other, so the k loop reads them in sequence;
// then every block of four rows of c runs over the tile with eight
// accumulators, each taking its products one k at a time.
#define KT_TILE_PRODUCTS(LOAD, STORE, SUB, MUL, BCAST, W, LEAVE)                       \
    constexpr std::size_t kTile = 2 * (W);                                             \
    const std::size_t tiles = cols / kTile;                                            \
    std::vector<double> packed(tiles * depth * kTile);                                 \
    for (std::size_t t = 0; t < tiles; ++t)                                            \
        for (std::size_t k = 0; k < depth; ++k)                                        \
            for (std::size_t u = 0; u < kTile; ++u)                                    \
                packed[(t * depth + k) * kTile + u] = b[k * ldb + t * kTile + u];      \
    for (std::size_t t = 0; t < tiles; ++t) {                                          \
        const std::size_t j = t * kTile;                                               \
        const double* bt = packed.data() + t * depth * kTile;                          \
        std::size_t i = 0;                                                             \
        for (; i + 4 <= m; i += 4) {                                                   \
            double* c0 = c + i * ldc + j;                                              \
            double* c1 = c0 + ldc;                                                     \
            double* c2 = c1 + ldc;                                                     \
            double* c3 = c2 + ldc;                                                     \
            const double* a0 = a + i * lda;                                            \
            const double* a1 = a0 + lda;                                               \
            const double* a2 = a1 + lda;                                               \
            const double* a3 = a2 + lda;                                               \
            auto x00 = LOAD(c0), x01 = LOAD(c0 + (W));                                 \
            auto x10 = LOAD(c1), x11 = LOAD(c1 + (W));                                 \
            auto x20 = LOAD(c2), x21 = LOAD(c2 + (W));                                 \
            auto x30 = LOAD(c3), x31 = LOAD(c3 + (W));                                 \
            const double* bk = bt;                                                     \
            for (std::size_t k = 0; k < depth; ++k, bk += kTile) {                     \
                const auto b0 = LOAD(bk), b1 = LOAD(bk + (W));                         \
                auto f = BCAST(a0 + k);                                                \
                x00 = SUB(x00, MUL(f, b0));                                            \
                x01 = SUB(x01, MUL(f, b1));                                            \
                f = BCAST(a1 + k);                                                     \
                x10 = SUB(x10, MUL(f, b0));                                            \
                x11 = SUB(x11, MUL(f, b1));                                            \
                f = BCAST(a2 + k);                                                     \
                x20 = SUB(x20, MUL(f, b0));                                            \
                x21 = SUB(x21, MUL(f, b1));                                            \
                f = BCAST(a3 + k);                                                     \
                x30 = SUB(x30, MUL(f, b0));                                            \
                x31 = SUB(x31, MUL(f, b1));                                            \
            }                                                                          \
            STORE(c0, x00);                                                            \
            STORE(c0 + (W), x01);                                                      \
            STORE(c1, x10);                                                            \
            STORE(c1 + (W), x11);                                                      \
            STORE(c2, x20);                                                            \
            STORE(c2 + (W), x21);                                                      \
            STORE(c3, x30);                                                            \
            STORE(c3 + (W), x31);                                                      \
        }                                                                              \
        LEAVE();                                                                       \
        SubProductsTail(c + i * ldc, ldc, a + i * lda, lda, b, ldb, m - i, j, j + kTile, \
                        depth);                                                        \
    }                                                                                  \
    SubProductsTail(c, ldc, a, lda, b, ldb, m, tiles * kTile, cols, depth)

inline __m128d Broadcast128(const double* p) { return _mm_set1_pd(*p); }
inline void NoTransition() {}

void SubProductsSse2(double* c, std::size_t ldc, const double* a, std::size_t lda, const double* b,
                     std::size_t ldb, std::size_t m, std::size_t cols, std::size_t depth) {
    KT_TILE_PRODUCTS(_mm_loadu_pd, _mm_storeu_pd, _mm_sub_pd, _mm_mul_pd, Broadcast128, 2,
                     NoTransition);
}

__attribute__((target("avx"))) void SubProductsAvx(double* c, std::size_t ldc, const double* a,
                                                     std::size_t lda, const double* b,
                                                     std::size_t ldb, std::size_t m,
                                                     std::size_t cols, std::size_t depth) {
    // The upper halves are cleared before the scalar tails (and on return),
    // which would otherwise pay for a state transition on some CPUs.
    KT_TILE_PRODUCTS(_mm256_loadu_pd, _mm256_storeu_pd, _mm256_sub_pd, _mm256_mul_pd,
                     _mm256_broadcast_sd, 4, _mm256_zeroupper);
}

#undef KT_TILE_PRODUCTS

bool baselineOnly = false;

bool HaveAvx() noexcept {
    static const bool avx = __builtin_cpu_supports("avx");
    return avx && !baselineOnly;
}

}  // namespace

void UseBaselineKernels(bool baseline) noexcept {
    baselineOnly = baseline;
#if KESTRIM_DECOMP_AVX
    // The shared element-wise kernels have their own switch.
    detail::kernels::useAvx = !baseline && detail::kernels::DetectAvx();
#endif
}

void SubProducts(double* c, std::size_t ldc, const double* a, std::size_t lda, const double* b,
                 std::size_t ldb, std::size_t m, std::size_t cols, std::size_t depth) {
    if (HaveAvx())
        SubProductsAvx(c, ldc, a, lda, b, ldb, m, cols, depth);
    else
        SubProductsSse2(c, ldc, a, lda, b, ldb, m, cols, depth);
}

std::vector<double> RowMajorCopy(const DoubleArray& source, std::size_t n, std::size_t ld) {
    std::vector<double> rows(n * ld);
    const double* src = source.Data();
    const std::size_t stride = source.Stride();
    // Blocked transpose keeps both sides cache-resident.
    constexpr std::size_t kTile = 32;
    for (std::size_t i0 = 0; i0 < n; i0 += kTile)
        for (std::size_t j0 = 0; j0 < n; j0 += kTile) {
            const std::size_t i1 = std::min(n, i0 + kTile), j1 = std::min(n, j0 + kTile);
            for (std::size_t j = j0; j < j1; ++j)
                for (std::size_t i = i0; i < i1; ++i) rows[i * ld + j] = src[j * stride + i];
        }
    return rows;
}

DoubleArray ColumnMajorCopy(const double* rows, std::size_t n, std::size_t width,
                            std::size_t offset) {
    const auto last = static_cast<int32_t>(n) - 1;
    DoubleArray out = DoubleArray::Create2D(last, last);
    double* dst = out.Data();
    constexpr std::size_t kTile = 32;
    for (std::size_t i0 = 0; i0 < n; i0 += kTile)
        for (std::size_t j0 = 0; j0 < n; j0 += kTile) {
            const std::size_t i1 = std::min(n, i0 + kTile), j1 = std::min(n, j0 + kTile);
            for (std::size_t i = i0; i < i1; ++i)
                for (std::size_t j = j0; j < j1; ++j)
                    dst[j * n + i] = rows[i * width + offset + j];
        }
    return out;
}

}  // namespace kestrim::linsys
