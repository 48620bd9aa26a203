// The thread-count setting and the parallel loop: static partition, fault
// flags and exceptions handed back to the calling thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
#include <cfloat>
#include <stdexcept>
#include <vector>

#include "host/runtime/FloatingPoint.h"
#include "host/runtime/Parallel.h"
#include "kestrim/Threading.h"

using namespace kestrim;

namespace {

volatile double zero = 0.0;
volatile double huge = DBL_MAX;

// Restores the default thread count after a test.
struct ThreadCount {
    explicit ThreadCount(int n) { SetNumThreads(n); }
    ~ThreadCount() { SetNumThreads(0); }
};

TEST(Threading, SettingAndDefault) {
    const int dflt = NumThreads();
    EXPECT_GE(dflt, 1);
    {
        ThreadCount three(3);
        EXPECT_EQ(NumThreads(), 3);
        EXPECT_EQ(detail::ThreadsFor(1.0), 1);  // small work stays on one thread
        EXPECT_EQ(detail::ThreadsFor(1e12), 3);
        EXPECT_EQ(detail::ThreadsFor(2.5 * detail::kMinWorkPerThread), 2);
    }
    EXPECT_EQ(NumThreads(), dflt);
    SetNumThreads(-5);
    EXPECT_EQ(NumThreads(), dflt);
}

TEST(Threading, PartitionCoversEveryIndexOnce) {
    for (int threads : {1, 2, 3, 7}) {
        for (int64_t count : {1, 2, 5, 100}) {
            std::vector<std::atomic<int>> hits(static_cast<std::size_t>(count));
            std::atomic<int> chunks{0};
            detail::ParallelFor(count, threads, [&](int64_t b, int64_t e) {
                ++chunks;
                for (int64_t i = b; i < e; ++i) ++hits[static_cast<std::size_t>(i)];
            });
            for (auto& h : hits) EXPECT_EQ(h.load(), 1) << threads << " " << count;
            EXPECT_EQ(chunks.load(), static_cast<int>(std::min<int64_t>(threads, count)));
        }
    }
}

TEST(Threading, WorkerFaultsReachTheCallingThread) {
    struct Case { int64_t faultingIndex; int flag; };
    for (const Case c : {Case{0, FE_DIVBYZERO}, Case{5, FE_OVERFLOW}, Case{9, FE_INVALID}}) {
        for (int threads : {1, 2, 3}) {
            fp::FpScope scope;
            detail::ParallelFor(10, threads, [&](int64_t b, int64_t e) {
                // Every worker starts clean, whatever the caller left set.
                EXPECT_EQ(std::fetestexcept(fp::kFaultFlags), 0);
                for (int64_t i = b; i < e; ++i) {
                    if (i != c.faultingIndex) continue;
                    volatile double r = c.flag == FE_DIVBYZERO ? 1.0 / zero
                                        : c.flag == FE_OVERFLOW ? huge * 2.0
                                                                : zero / zero;
                    (void)r;
                }
            });
            EXPECT_EQ(std::fetestexcept(fp::kFaultFlags), c.flag) << threads;
        }
    }
    // A clean run leaves the caller's flags as they were.
    fp::FpScope scope;
    detail::ParallelFor(4, 2, [](int64_t, int64_t) {});
    EXPECT_FALSE(fp::HasFault());
}

TEST(Threading, TheFirstChunksExceptionIsRethrown) {
    for (int threads : {1, 2, 3}) {
        try {
            detail::ParallelFor(9, threads, [](int64_t b, int64_t) {
                throw std::runtime_error(b == 0 ? "first" : "later");
            });
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "first") << threads;
        }
    }
}

TEST(Threading, WorkersRunInTheDefaultEnvironment) {
    fp::FpScope scope;
    std::fesetround(FE_UPWARD);
    std::atomic<int> wrongRounding{0};
    detail::ParallelFor(4, 3, [&](int64_t, int64_t) {
        if (std::fegetround() != FE_TONEAREST) ++wrongRounding;
    });
    // Every worker, the calling thread's own included, starts from the
    // default environment.
    EXPECT_EQ(wrongRounding.load(), 0);
    EXPECT_EQ(std::fegetround(), FE_UPWARD);  // the caller's setting is back
    std::fesetround(FE_TONEAREST);
}

}  // namespace
