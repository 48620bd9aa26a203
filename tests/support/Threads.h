// Running a test body on a given number of threads, with every parallel
// section split among them however small it is.
#pragma once

#include "host/runtime/Parallel.h"
#include "kestrim/Threading.h"

namespace kestrim::test {

// The thread counts every bit-identity test runs with.
inline constexpr int kThreadCounts[] = {1, 2, 3};

class ScopedThreads {
public:
    explicit ScopedThreads(int count) {
        SetNumThreads(count);
        detail::SetMinWorkPerThread(1.0);
    }
    ~ScopedThreads() {
        SetNumThreads(0);
        detail::SetMinWorkPerThread(0.0);
    }
    ScopedThreads(const ScopedThreads&) = delete;
    ScopedThreads& operator=(const ScopedThreads&) = delete;
};

// Runs `body(threads)` once per thread count, on that many threads.
template <class Body>
void ForEachThreadCount(Body&& body) {
    for (int threads : kThreadCounts) {
        ScopedThreads scoped(threads);
        body(threads);
    }
}

}  // namespace kestrim::test
