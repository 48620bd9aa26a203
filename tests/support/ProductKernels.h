// Every thread count with every product kernel, for the bit-identity tests
// of the operations built on the product kernels.
#pragma once

#include "ops/ProductKernel.h"
#include "support/Threads.h"

namespace kestrim::test {

// Runs `body(threads, kernel)` for every thread count with each of the first
// `kernels` product kernels (all this processor supports when negative),
// then gives the choice of kernel back to the library.
template <class Body>
void ForEachThreadCountAndProductKernel(Body&& body, int kernels = -1) {
    const int count = kernels < 0 ? detail::product::SupportedKernelCount() : kernels;
    ForEachThreadCount([&](int threads) {
        for (int kernel = 0; kernel < count; ++kernel) {
            detail::product::UseKernel(kernel);
            body(threads, kernel);
        }
    });
    detail::product::UseKernel(-1);
}

}  // namespace kestrim::test
