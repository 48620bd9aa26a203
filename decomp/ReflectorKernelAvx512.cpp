// The reflection kernel built for AVX-512: block rows of 4 vectors of 8
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
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif

namespace kestrim::detail::reflect::avx512 {
namespace {
#define KR_DOUBLES 8
#define KR_VECTORS 4
#include "decomp/ReflectorKernel.inc"
#undef KR_DOUBLES
#undef KR_VECTORS
}  // namespace
}  // namespace kestrim::detail::reflect::avx512

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace kestrim::detail::reflect {

const Kernel* Avx512Kernel() noexcept {
    static const Kernel kernel{"avx512", avx512::kWidth, &avx512::Step};
    return &kernel;
}

}  // namespace kestrim::detail::reflect

#else

namespace kestrim::detail::reflect {
const Kernel* Avx512Kernel() noexcept { return nullptr; }
}  // namespace kestrim::detail::reflect

#endif
