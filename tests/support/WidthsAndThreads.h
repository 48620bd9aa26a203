// Every kernel width with every thread count, for the bit-identity tests
// of kernels that are both vectorised and threaded.
#pragma once

#include <utility>
#include <vector>

#include "support/KernelWidth.h"
#include "support/Threads.h"

namespace kestrim::test {

inline std::vector<std::pair<bool, int>> WidthsAndThreads() {
    std::vector<std::pair<bool, int>> all;
    for (bool wide : KernelWidths())
        for (int threads : kThreadCounts) all.emplace_back(wide, threads);
    return all;
}

// Runs `body(wide, threads)` for every kernel width with every thread count,
// with that width selected and on that many threads.
template <class Body>
void ForEachWidthAndThreadCount(Body&& body) {
    for (const auto& [wide, threads] : WidthsAndThreads()) {
        KernelWidth width(wide);
        ScopedThreads scoped(threads);
        body(wide, threads);
    }
}

}  // namespace kestrim::test
