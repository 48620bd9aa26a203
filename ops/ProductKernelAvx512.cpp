// The product kernel built for AVX-512: tiles of 24 rows (three vectors
// of eight doubles) by 8 columns, 24 accumulators of the 32 registers.
// Blocks of 96 rows by 512 steps: the packed block (384 KiB) stays in L2
// while each 8-column panel of the right operand (32 KiB) is reused by its
// four tiles, and a result tile is loaded and stored once per 512 steps.
// Selected at run time only on processors that support AVX-512F; the
// arithmetic is the same separate multiply and add as everywhere else
// (contraction is off for the whole build).
// Not built for Windows, where GCC cannot keep spilled wide vectors
// aligned on the stack.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "ops/ProductKernel.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)

// Clang has no target pragma; it applies the attribute to every function.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

namespace kestrim::detail::product::avx512 {
namespace {

// dst[k * 8 + j] = src[j * ld + k] for j, k < 8: eight steps of a full
// panel of the right operand, its columns read as whole vectors and
// transposed in registers (the element-wise copy is bound by one store
// per element).
typedef double V8 __attribute__((vector_size(64)));

// Pairs of columns interleaved: (x[k], y[k]) for the even k, then the odd.
inline V8 EvenSteps(V8 x, V8 y) { return __builtin_shufflevector(x, y, 0, 8, 2, 10, 4, 12, 6, 14); }
inline V8 OddSteps(V8 x, V8 y) { return __builtin_shufflevector(x, y, 1, 9, 3, 11, 5, 13, 7, 15); }
// 128-bit lanes 0 and 2 of each source, or lanes 1 and 3.
inline V8 Lanes02(V8 x, V8 y) { return __builtin_shufflevector(x, y, 0, 1, 4, 5, 8, 9, 12, 13); }
inline V8 Lanes13(V8 x, V8 y) { return __builtin_shufflevector(x, y, 2, 3, 6, 7, 10, 11, 14, 15); }

inline void Transpose8x8(const double* src, std::size_t ld, double* dst) {
    V8 r[8];
    for (int j = 0; j < 8; ++j) __builtin_memcpy(&r[j], src + static_cast<std::size_t>(j) * ld, sizeof(V8));
    const V8 t0 = EvenSteps(r[0], r[1]), t1 = OddSteps(r[0], r[1]);
    const V8 t2 = EvenSteps(r[2], r[3]), t3 = OddSteps(r[2], r[3]);
    const V8 t4 = EvenSteps(r[4], r[5]), t5 = OddSteps(r[4], r[5]);
    const V8 t6 = EvenSteps(r[6], r[7]), t7 = OddSteps(r[6], r[7]);
    const V8 u0 = Lanes02(t0, t2), u1 = Lanes02(t1, t3), u2 = Lanes13(t0, t2), u3 = Lanes13(t1, t3);
    const V8 u4 = Lanes02(t4, t6), u5 = Lanes02(t5, t7), u6 = Lanes13(t4, t6), u7 = Lanes13(t5, t7);
    const V8 out[8] = {Lanes02(u0, u4), Lanes02(u1, u5), Lanes02(u2, u6), Lanes02(u3, u7),
                       Lanes13(u0, u4), Lanes13(u1, u5), Lanes13(u2, u6), Lanes13(u3, u7)};
    __builtin_memcpy(dst, out, sizeof out);
}

#define KT_TRANSPOSE_8X8 Transpose8x8
#define KT_VECTOR_DOUBLES 8
#define KT_TILE_VECTORS 3
#define KT_TILE_COLS 8
#define KT_BLOCK_ROWS 96
#define KT_BLOCK_DEPTH 512
#define KT_PREFETCH_STEPS 32
#define KT_STREAM_AHEAD 32
#include "ops/ProductKernel.inc"
#undef KT_TRANSPOSE_8X8
#undef KT_BLOCK_DEPTH
#undef KT_PREFETCH_STEPS
#undef KT_STREAM_AHEAD
#undef KT_VECTOR_DOUBLES
#undef KT_TILE_VECTORS
#undef KT_TILE_COLS
#undef KT_BLOCK_ROWS
}  // namespace
}  // namespace kestrim::detail::product::avx512

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace kestrim::detail::product {

const Kernel* Avx512Kernel() noexcept {
    static const Kernel kernel{"avx512", avx512::kNR,
                               avx512::kWorkSize,
                               &avx512::PackB, &avx512::MultiplyRows, &avx512::SubtractRows,
                               &avx512::MultiplyRow};
    return &kernel;
}

}  // namespace kestrim::detail::product

#else

namespace kestrim::detail::product {
const Kernel* Avx512Kernel() noexcept { return nullptr; }
}  // namespace kestrim::detail::product

#endif
