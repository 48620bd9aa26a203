// Thread counts for the bit-identity tests of the threaded kernels: every
// such test runs once per count, and the results must not differ.
#pragma once

#include <utility>
#include <vector>

#include "kestrim/Threading.h"
#include "support/KernelWidth.h"

namespace kestrim::test {

// One thread, an even split and an uneven one.
inline std::vector<int> ThreadCounts() { return {1, 2, 3}; }

// Every kernel width with every thread count.
inline std::vector<std::pair<bool, int>> WidthsAndThreads() {
    std::vector<std::pair<bool, int>> all;
    for (bool wide : KernelWidths())
        for (int threads : ThreadCounts()) all.emplace_back(wide, threads);
    return all;
}

// Sets the component's thread count for the life of the object.
class ScopedThreadCount {
public:
    explicit ScopedThreadCount(int count) { SetNumThreads(count); }
    ~ScopedThreadCount() { SetNumThreads(0); }
    ScopedThreadCount(const ScopedThreadCount&) = delete;
    ScopedThreadCount& operator=(const ScopedThreadCount&) = delete;
};

}  // namespace kestrim::test
