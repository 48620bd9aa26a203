// The reflection kernel built for AVX: block rows of 4 vectors of 4
// doubles. Selected at run time only on processors that support it; the
// arithmetic is the same separate multiply and add as everywhere else.
// Not built for Windows, where GCC cannot keep spilled wide vectors
// aligned on the stack.
#include "decomp/ReflectorKernel.h"

#include <cstddef>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)

// Clang has no target pragma; it applies the attribute to every function.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx")
#endif

namespace kestrim::detail::reflect::avx {
namespace {
#define KR_DOUBLES 4
#define KR_VECTORS 4
#include "decomp/ReflectorKernel.inc"
#undef KR_DOUBLES
#undef KR_VECTORS
}  // namespace
}  // namespace kestrim::detail::reflect::avx

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace kestrim::detail::reflect {

const Kernel* AvxKernel() noexcept {
    static const Kernel kernel{"avx", avx::kWidth, &avx::Step};
    return &kernel;
}

}  // namespace kestrim::detail::reflect

#else

namespace kestrim::detail::reflect {
const Kernel* AvxKernel() noexcept { return nullptr; }
}  // namespace kestrim::detail::reflect

#endif
