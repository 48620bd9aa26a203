// Choosing the vector width of the shared column kernels (decomp/Kernels.h)
// in tests: every bit-exactness test of a caller of the kernels runs once
// per available width, and the results must not differ.
#pragma once

#include <vector>

#include "decomp/Kernels.h"

namespace kestrim::test {

// The vector widths the kernels can run with on this processor: each
// bit-exactness test runs once per width (the results must not differ).
inline std::vector<bool> KernelWidths() {
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx) return {true, false};
#endif
    return {false};
}

// Selects the 256-bit kernels (when available) for the life of the object.
class KernelWidth {
public:
    explicit KernelWidth([[maybe_unused]] bool wide) {
#if KESTRIM_DECOMP_AVX
        saved_ = detail::kernels::useAvx;
        detail::kernels::useAvx = wide;
#endif
    }
    ~KernelWidth() {
#if KESTRIM_DECOMP_AVX
        detail::kernels::useAvx = saved_;
#endif
    }
    KernelWidth(const KernelWidth&) = delete;
    KernelWidth& operator=(const KernelWidth&) = delete;

private:
    [[maybe_unused]] bool saved_ = false;
};

// Runs `body(wide)` once per available kernel width, with that width selected.
template <class Body>
void ForEachKernelWidth(Body&& body) {
    for (bool wide : KernelWidths()) {
        KernelWidth width(wide);
        body(wide);
    }
}

}  // namespace kestrim::test
