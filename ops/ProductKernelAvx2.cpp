// The product kernel built for AVX2: tiles of 8 rows (two vectors
// of four doubles) by 6 columns. Selected at run time only on processors
// that support AVX2; the arithmetic is the same separate multiply and
// add as everywhere else (contraction is off for the whole build).
// Not built for Windows, where GCC cannot keep spilled wide vectors
// aligned on the stack.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "ops/ProductKernel.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)

// Clang has no target pragma; it applies the attribute to every function.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace kestrim::detail::product::avx2 {
namespace {
#define KT_VECTOR_DOUBLES 4
#define KT_TILE_VECTORS 2
#define KT_TILE_COLS 6
#define KT_BLOCK_ROWS 128
#define KT_BLOCK_DEPTH 256
#define KT_PREFETCH_STEPS 32
#define KT_STREAM_AHEAD 0
#include "ops/ProductKernel.inc"
#undef KT_BLOCK_DEPTH
#undef KT_PREFETCH_STEPS
#undef KT_STREAM_AHEAD
#undef KT_VECTOR_DOUBLES
#undef KT_TILE_VECTORS
#undef KT_TILE_COLS
#undef KT_BLOCK_ROWS
}  // namespace
}  // namespace kestrim::detail::product::avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace kestrim::detail::product {

const Kernel* Avx2Kernel() noexcept {
    static const Kernel kernel{"avx2", avx2::kNR,
                               avx2::kWorkSize,
                               &avx2::PackB, &avx2::MultiplyRows, &avx2::SubtractRows,
                               &avx2::MultiplyRow};
    return &kernel;
}

}  // namespace kestrim::detail::product

#else

namespace kestrim::detail::product {
const Kernel* Avx2Kernel() noexcept { return nullptr; }
}  // namespace kestrim::detail::product

#endif
