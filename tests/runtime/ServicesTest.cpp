// Number formatting, random numbers and component facts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

#include "host/runtime/NumberFormat.h"
#include "host/runtime/Platform.h"
#include "host/runtime/Random.h"
#include "support/TestSupport.h"

using kestrim::format::FormatFixed;
using kestrim::random::RoundToDecimals;

TEST(NumberFormat, FixedDecimalsWithPointAndSign) {
    EXPECT_EQ(FormatFixed(1.0, 3), "1.000");
    EXPECT_EQ(FormatFixed(-2.5, 3), "-2.500");
    EXPECT_EQ(FormatFixed(10.0, 3), "10.000");
    EXPECT_EQ(FormatFixed(2.25, 0), "2");
    EXPECT_EQ(FormatFixed(2.25, -4), "2");
    EXPECT_EQ(FormatFixed(1e20, 0), "100000000000000000000");
    EXPECT_EQ(FormatFixed(0.5, 2), "0.50");
}

TEST(NumberFormat, CorrectRoundingWithTiesToEven) {
    EXPECT_EQ(FormatFixed(2.5, 0), "2");
    EXPECT_EQ(FormatFixed(3.5, 0), "4");
    EXPECT_EQ(FormatFixed(0.125, 2), "0.12");
    EXPECT_EQ(FormatFixed(0.375, 2), "0.38");
    // 2.675 is stored just below the tie.
    EXPECT_EQ(FormatFixed(2.675, 2), "2.67");
    EXPECT_EQ(FormatFixed(1.0005, 3), "1.000");  // stored below 1.0005
}

TEST(NumberFormat, ZeroNeverShowsASign) {
    EXPECT_EQ(FormatFixed(-0.0, 3), "0.000");
    EXPECT_EQ(FormatFixed(-0.0004, 3), "0.000");
    EXPECT_EQ(FormatFixed(-0.4, 0), "0");
    EXPECT_EQ(FormatFixed(-0.0006, 3), "-0.001");
}

TEST(Random, SinglesInUnitIntervalAndRepeatableFromStart) {
    kestrim::random::ResetForTesting();
    std::vector<float> first;
    for (int k = 0; k < 1000; ++k) {
        const float u = kestrim::random::NextSingle();
        ASSERT_GE(u, 0.0f);
        ASSERT_LT(u, 1.0f);
        first.push_back(u);
    }
    kestrim::random::ResetForTesting();
    for (int k = 0; k < 1000; ++k) ASSERT_EQ(kestrim::random::NextSingle(), first[k]);
    // Not degenerate: many distinct values, mean near one half.
    std::sort(first.begin(), first.end());
    EXPECT_GT(std::unique(first.begin(), first.end()) - first.begin(), 990);
}

TEST(Random, ConcurrentDrawsTakeDistinctValuesOfTheSequence) {
    kestrim::random::ResetForTesting();
    std::vector<float> expected;
    for (int k = 0; k < 20000; ++k) expected.push_back(kestrim::random::NextSingle());
    kestrim::random::ResetForTesting();
    std::vector<float> a, b;
    std::thread t1([&] { for (int k = 0; k < 10000; ++k) a.push_back(kestrim::random::NextSingle()); });
    std::thread t2([&] { for (int k = 0; k < 10000; ++k) b.push_back(kestrim::random::NextSingle()); });
    t1.join();
    t2.join();
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(a, expected);
}

TEST(Random, RoundToDecimalsHalfToEven) {
    EXPECT_EQ(RoundToDecimals(2.5, 0), 2.0);
    EXPECT_EQ(RoundToDecimals(9.7, 0), 10.0);
    EXPECT_EQ(RoundToDecimals(0.125, 2), 0.12);
    EXPECT_EQ(RoundToDecimals(1.23456, 2), 1.23);
    EXPECT_EQ(RoundToDecimals(-1.235001, 2), -1.24);
    EXPECT_EQ(RoundToDecimals(1.5, 400), 1.5);
    EXPECT_RUNTIME_ERROR(RoundToDecimals(1.0, -1), kestrim::RuntimeError::InvalidArgument);
}

TEST(Platform, LibraryFolderExists) {
    const auto folder = kestrim::platform::LibraryFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
}
