// The product kernel built for AVX-512: tiles of 24 rows (three vectors
// of eight doubles) by 8 columns. Selected at run time only on processors
// that support AVX-512F; the arithmetic is the same separate multiply and
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
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

namespace kestrim::detail::product::avx512 {
namespace {
#define KT_VECTOR_DOUBLES 8
#define KT_TILE_VECTORS 3
#define KT_TILE_COLS 8
#define KT_BLOCK_ROWS 96
#define KT_BLOCK_DEPTH 512
#define KT_PREFETCH_STEPS 32
#include "ops/ProductKernel.inc"
#undef KT_BLOCK_DEPTH
#undef KT_PREFETCH_STEPS
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
