// The baseline reflection kernel (two-double vectors, available on every
// x86-64 processor and lowered to plain code elsewhere) and the run-time
// choice among the kernels built into the library.
#include "decomp/ReflectorKernel.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "host/runtime/KernelMenu.h"

namespace kestrim::detail::reflect {

namespace sse2 {
namespace {
#define KR_DOUBLES 2
#define KR_VECTORS 4
#include "decomp/ReflectorKernel.inc"
#undef KR_DOUBLES
#undef KR_VECTORS
}  // namespace
}  // namespace sse2

const Kernel& Sse2Kernel() noexcept {
    static const Kernel kernel{"sse2", sse2::kWidth, &sse2::Step};
    return kernel;
}

namespace {

KernelMenu<Kernel>& Menu() noexcept {
    static KernelMenu<Kernel> menu{KESTRIM_CPU_SUPPORTS("avx512f") ? Avx512Kernel() : nullptr,
                                   KESTRIM_CPU_SUPPORTS("avx") ? AvxKernel() : nullptr, &Sse2Kernel()};
    return menu;
}

}  // namespace

const Kernel& SelectKernel() noexcept { return Menu().Selected(); }
void UseKernel(int index) noexcept { Menu().Use(index); }
int SupportedKernelCount() noexcept { return Menu().Count(); }
const Kernel& SupportedKernel(int index) noexcept { return Menu().At(index); }

}  // namespace kestrim::detail::reflect
