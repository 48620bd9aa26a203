// The baseline product kernel (two-double vectors, available on every
// x86-64 processor and lowered to plain code elsewhere) and the run-time
// choice among the kernels built into the library.
#include "ops/ProductKernel.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kestrim::detail::product {

namespace sse2 {
namespace {
#define KT_VECTOR_DOUBLES 2
#define KT_TILE_VECTORS 2
#define KT_TILE_COLS 4
#define KT_BLOCK_ROWS 128
#include "ops/ProductKernel.inc"
#undef KT_VECTOR_DOUBLES
#undef KT_TILE_VECTORS
#undef KT_TILE_COLS
#undef KT_BLOCK_ROWS
}  // namespace
}  // namespace sse2

const Kernel& Sse2Kernel() noexcept {
    static const Kernel kernel{"sse2", sse2::kNR, static_cast<std::size_t>(sse2::kMC) * sse2::kKC,
                               &sse2::PackB, &sse2::MultiplyRows, &sse2::SubtractRows,
                               &sse2::MultiplyRow};
    return kernel;
}

namespace {

struct Supported {
    const Kernel* list[3];
    int count = 0;

    Supported() {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f"))
            if (const Kernel* k = Avx512Kernel()) list[count++] = k;
        if (__builtin_cpu_supports("avx2"))
            if (const Kernel* k = Avx2Kernel()) list[count++] = k;
#endif
        list[count++] = &Sse2Kernel();
    }
};

const Supported& GetSupported() noexcept {
    static const Supported supported;
    return supported;
}

}  // namespace

namespace {
std::atomic<int> chosenKernel{-1};
}  // namespace

const Kernel& SelectKernel() noexcept {
    const int chosen = chosenKernel.load(std::memory_order_relaxed);
    return chosen < 0 ? *GetSupported().list[0] : SupportedKernel(chosen);
}

void UseKernel(int index) noexcept { chosenKernel.store(index < 0 ? -1 : index); }

int SupportedKernelCount() noexcept { return GetSupported().count; }

const Kernel& SupportedKernel(int index) noexcept {
    const Supported& s = GetSupported();
    if (index < 0 || index >= s.count) return *s.list[s.count - 1];
    return *s.list[index];
}

}  // namespace kestrim::detail::product
