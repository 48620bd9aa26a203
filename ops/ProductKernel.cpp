// The baseline product kernel (two-double vectors, available on every
// x86-64 processor and lowered to plain code elsewhere) and the run-time
// choice among the kernels built into the library.
#include "ops/ProductKernel.h"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "host/runtime/KernelMenu.h"

namespace kestrim::detail::product {

namespace sse2 {
namespace {
#define KT_VECTOR_DOUBLES 2
#define KT_TILE_VECTORS 2
#define KT_TILE_COLS 4
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
}  // namespace sse2

const Kernel& Sse2Kernel() noexcept {
    static const Kernel kernel{"sse2", sse2::kNR, sse2::kWorkSize,
                               &sse2::PackB, &sse2::MultiplyRows, &sse2::SubtractRows,
                               &sse2::MultiplyRow};
    return kernel;
}

namespace {

KernelMenu<Kernel>& Menu() noexcept {
    static KernelMenu<Kernel> menu{KESTRIM_CPU_SUPPORTS("avx512f") ? Avx512Kernel() : nullptr,
                                   KESTRIM_CPU_SUPPORTS("avx2") ? Avx2Kernel() : nullptr, &Sse2Kernel()};
    return menu;
}

}  // namespace

const Kernel& SelectKernel() noexcept { return Menu().Selected(); }
void UseKernel(int index) noexcept { Menu().Use(index); }
int SupportedKernelCount() noexcept { return Menu().Count(); }
const Kernel& SupportedKernel(int index) noexcept { return Menu().At(index); }

}  // namespace kestrim::detail::product
