// The work array a thread keeps between operations: reused when large
// enough, never shared by two holders at once, bounded in size.
#include <gtest/gtest.h>

#include <thread>

#include "host/runtime/KeptArray.h"

using kestrim::detail::KeptArray;
using kestrim::detail::KeptArrayCapacity;
using kestrim::detail::kKeptArrayLimit;

namespace {

// Runs on a fresh thread, so that the slot starts empty.
template <class Body>
void OnNewThread(Body body) {
    std::thread(body).join();
}

TEST(KeptArray, ReusedWhenLargeEnoughAndNeverShared) {
    OnNewThread([] {
        EXPECT_EQ(KeptArrayCapacity(), 0u);
        const double* first = nullptr;
        {
            KeptArray a(1000);
            first = a.Data();
            a.Data()[999] = 1.0;  // the whole count is usable
            EXPECT_EQ(KeptArrayCapacity(), 0u);  // taken while in use
        }
        EXPECT_EQ(KeptArrayCapacity(), 1000u);
        {
            KeptArray smaller(10);
            EXPECT_EQ(smaller.Data(), first);  // the kept array comes back
            // A second holder while the first is taken (an operation run by
            // an event handler) gets storage of its own.
            KeptArray nested(10);
            EXPECT_NE(nested.Data(), first);
        }
        // The larger of the two given back is kept.
        EXPECT_EQ(KeptArrayCapacity(), 1000u);
        {
            KeptArray larger(5000);
            larger.Data()[4999] = 2.0;
            EXPECT_EQ(KeptArrayCapacity(), 0u);  // the smaller one was freed
        }
        EXPECT_EQ(KeptArrayCapacity(), 5000u);
        {
            KeptArray empty(0);  // an empty request still gives valid storage
            EXPECT_NE(empty.Data(), nullptr);
        }
        EXPECT_EQ(KeptArrayCapacity(), 5000u);
    });
}

TEST(KeptArray, ArraysAboveTheLimitAreNotKept) {
    OnNewThread([] {
        { KeptArray small(16); }
        EXPECT_EQ(KeptArrayCapacity(), 16u);
        {
            KeptArray big(kKeptArrayLimit + 1);
            big.Data()[kKeptArrayLimit] = 1.0;
        }
        EXPECT_EQ(KeptArrayCapacity(), 0u);
        { KeptArray atLimit(kKeptArrayLimit); }
        EXPECT_EQ(KeptArrayCapacity(), kKeptArrayLimit);
    });
}

}  // namespace
