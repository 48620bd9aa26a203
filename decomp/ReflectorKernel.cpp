// The baseline reflection kernel (two-double vectors, available on every
// x86-64 processor and lowered to plain code elsewhere) and the run-time
// choice among the kernels built into the library.
#include "decomp/ReflectorKernel.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <utility>

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

struct Supported {
    const Kernel* list[3];
    int count = 0;

    Supported() {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f"))
            if (const Kernel* k = Avx512Kernel()) list[count++] = k;
        if (__builtin_cpu_supports("avx"))
            if (const Kernel* k = AvxKernel()) list[count++] = k;
#endif
        list[count++] = &Sse2Kernel();
    }
};

const Supported& GetSupported() noexcept {
    static const Supported supported;
    return supported;
}

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

}  // namespace kestrim::detail::reflect
