// Arrays, variant arrays, floating-point fault tests, formatting and random numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <thread>

#include "core/DoubleArrayAccess.h"
#include "host/runtime/FloatingPoint.h"
#include "host/runtime/KernelMenu.h"
#include "host/runtime/NumberFormat.h"
#include "host/runtime/Platform.h"
#include "host/runtime/Random.h"
#include "support/TestSupport.h"

using namespace kestrim;
namespace {
volatile double zero = 0.0;
volatile double big = DBL_MAX;
}  // namespace

// Whether released large storages are kept for the next arrays (Linux;
// under AddressSanitizer every array comes from the heap).
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepsStorages = true;
#else
constexpr bool kKeepsStorages = false;
#endif

namespace {
// Expects an array's storage to be the one released before, where storages are kept.
void ExpectTakenBack(const double* taken, const double* released) {
    if (kKeepsStorages) {
        EXPECT_EQ(taken, released);
    }
}
}  // namespace

TEST(DoubleArray, BoundsStorageAndLayout) {
    EXPECT_RUNTIME_ERROR(DoubleArray().LBound(1), RuntimeError::SubscriptOutOfRange);
    auto a = DoubleArray::Create2D(2, 4, -1, 3);  // rows -1..2, columns 3..4
    EXPECT_EQ(a.LBound(1), -1);
    EXPECT_EQ(a.UBound(2), 4);
    EXPECT_RUNTIME_ERROR(a.UBound(3), RuntimeError::SubscriptOutOfRange);
    a.Set({2, 4}, 7.0);
    EXPECT_EQ(a.Data()[1 * 4 + 3], 7.0);  // column-major
    EXPECT_RUNTIME_ERROR(a.Get({3, 4}), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(DoubleArray::Create2D(-1, 3).Count(), 0u);  // an empty dimension is allowed
    EXPECT_RUNTIME_ERROR(DoubleArray::Create2D(2000000000, 2000000000), RuntimeError::OutOfMemory);
    EXPECT_RUNTIME_ERROR(DoubleArray::Create({{0, 2000000000}, {0, 2000000000}, {0, 2000000000}}),
                         RuntimeError::OutOfMemory);
}

TEST(DoubleArray, CopiesAreDeepAndRedimKeepsLeadingColumns) {
    auto a = DoubleArray::Create2D(1, 2);
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 2; ++r) a.At(r, c) = 10 * r + c + 1;
    DoubleArray b = a;
    b.At(0, 0) = 99;
    EXPECT_EQ(a.At(0, 0), 1.0);
    b = a;
    b.RedimPreserveLast(3);
    EXPECT_EQ(b.At(1, 2), 13.0);
    EXPECT_EQ(b.At(1, 3), 0.0);
    a.RedimPreserveLast(0);
    EXPECT_EQ(a.Count(), 2u);
    EXPECT_EQ(a.At(1, 0), 11.0);
}

// Arrays from 2 MiB on have storage of their own (mapped, on large pages
// where the system has them): the same zeros, copies and re-dimensioning
// on both sides of that size.
TEST(DoubleArray, LargeArraysBehaveAsSmallOnes) {
    constexpr int32_t kRows = 512;  // 512 x 512 Doubles are 2 MiB
    for (int32_t cols : {511, 512, 513, 1024}) {
        SCOPED_TRACE(cols);
        auto a = DoubleArray::Create2D(kRows - 1, cols - 1);
        const std::size_t count = a.Count();
        ASSERT_EQ(count, static_cast<std::size_t>(kRows) * static_cast<std::size_t>(cols));
        EXPECT_TRUE(std::all_of(a.Data(), a.Data() + count, [](double v) { return v == 0.0; }));
        a.At(kRows - 1, cols - 1) = 5.0;
        a.At(0, 0) = 1.0;
        DoubleArray b = a;
        a.At(0, 0) = 2.0;
        EXPECT_EQ(b.At(0, 0), 1.0);
        EXPECT_EQ(b.At(kRows - 1, cols - 1), 5.0);
        for (int32_t upper : {cols, 2 * cols}) {  // grows, across 2 MiB from 511 columns
            DoubleArray c = b;
            c.RedimPreserveLast(upper);
            EXPECT_EQ(c.At(0, 0), 1.0);
            EXPECT_EQ(c.At(kRows - 1, static_cast<std::size_t>(cols) - 1), 5.0);
            EXPECT_EQ(c.At(kRows - 1, static_cast<std::size_t>(upper)), 0.0);
        }
        b.RedimPreserveLast(cols - 3);  // shrinks, across 2 MiB from 512 and 513 columns
        EXPECT_EQ(b.Count(), static_cast<std::size_t>(kRows) * static_cast<std::size_t>(cols - 2));
        EXPECT_EQ(b.At(0, 0), 1.0);
    }
}

// Arrays that an operation writes whole may reuse the storage of large
// arrays released before; zero-filled arrays and copies never show what
// such storage held.
TEST(DoubleArray, ReusedStorageNeverShowsOldValues) {
    constexpr int32_t kLast = 1023;  // 8 MiB
    const auto all = [](const DoubleArray& a, double v) {
        return std::all_of(a.Data(), a.Data() + a.Count(), [v](double x) { return x == v; });
    };
    auto stale = [&] {
        auto a = detail::DoubleArrayAccess::ForOverwrite2D(kLast, kLast);
        std::fill(a.Data(), a.Data() + a.Count(), 7.0);
        return a.Data();
    };
    // Released storages: as many as are kept, and one more.
    for (int i = 0; i < 6; ++i) stale();
    const double* lastStale = stale();
    auto zeros = DoubleArray::Create2D(kLast, kLast);
    EXPECT_TRUE(all(zeros, 0.0));
    ExpectTakenBack(zeros.Data(), lastStale);  // cleared, not fresh pages
    stale();
    const DoubleArray copy = zeros;  // copied whole over reused storage
    EXPECT_TRUE(all(copy, 0.0));
    const double* released = stale();
    auto reused = detail::DoubleArrayAccess::ForOverwrite2D(kLast, kLast);
    EXPECT_EQ(reused.Count(), zeros.Count());
    EXPECT_EQ(reused.UBound(2), kLast);
    ExpectTakenBack(reused.Data(), released);  // taken back without new pages
    // Small and empty ones come from the heap.
    EXPECT_EQ(detail::DoubleArrayAccess::ForOverwrite2D(2, -1).Count(), 0u);
    auto small = detail::DoubleArrayAccess::ForOverwrite2D(3, 1);
    small.At(3, 1) = 1.0;
    EXPECT_EQ(small.Get({3, 1}), 1.0);
    EXPECT_RUNTIME_ERROR(detail::DoubleArrayAccess::ForOverwrite2D(2000000000, 2000000000),
                         RuntimeError::OutOfMemory);
    // Work arrays: at least what is asked for; a released one of a few
    // hundred KiB is taken back by the next of about the same size.
    EXPECT_EQ(detail::DoubleArrayAccess::Work(0).Count(), 0u);
    EXPECT_EQ(detail::DoubleArrayAccess::Work(10).Count(), 10u);
    const double* work = nullptr;
    {
        auto first = detail::DoubleArrayAccess::Work(100000);
        EXPECT_GE(first.Count(), 100000u);
        std::fill(first.Data(), first.Data() + first.Count(), 1.0);
        work = first.Data();
    }
    auto second = detail::DoubleArrayAccess::Work(100500);
    EXPECT_GE(second.Count(), 100500u);
    ExpectTakenBack(second.Data(), work);
    EXPECT_RUNTIME_ERROR(detail::DoubleArrayAccess::Work(std::size_t{1} << 40), RuntimeError::OutOfMemory);
    // Work vectors: a large one released is taken back by the next of the
    // same size (whatever the heap did meanwhile); small ones and growth work
    // as with any vector.
    const double* vectorData = nullptr;
    {
        detail::WorkVector v(40000, 2.0);
        v.resize(40001, 3.0);  // moves to new storage, releasing the first
        vectorData = v.data();
        EXPECT_EQ(v[0], 2.0);
        EXPECT_EQ(v[40000], 3.0);
    }
    detail::WorkVector again(5000);  // the same rounded size: the storage released last
    ExpectTakenBack(again.data(), vectorData);
    EXPECT_EQ(again[4999], 0.0);  // value-initialised, as vectors are
    detail::WorkVector tiny{1.0, 2.0};
    EXPECT_EQ(tiny[1], 2.0);
}

// More released storages than are kept at once: the ones released last are
// kept (an operation in a loop asks first for what it released last).
TEST(DoubleArray, KeptStoragesAreTheLastReleased) {
    constexpr int32_t kLast = 1023;  // 8 MiB; nine of them are more than are kept
    std::vector<DoubleArray> arrays;
    for (int i = 0; i < 9; ++i) arrays.push_back(detail::DoubleArrayAccess::ForOverwrite2D(kLast, kLast));
    const double* last = arrays.back().Data();
    for (DoubleArray& a : arrays) a = DoubleArray();  // released in order, the ninth last
    auto reused = detail::DoubleArrayAccess::ForOverwrite2D(kLast, kLast);
    ExpectTakenBack(reused.Data(), last);
    reused.At(kLast, kLast) = 1.0;
    EXPECT_EQ(reused.Get({kLast, kLast}), 1.0);
}

// Kernels not built or not supported are left out; the fastest is chosen
// unless a test forces another; an index out of range means the baseline.
TEST(KernelMenu, LeavesOutMissingKernelsAndFallsBackToTheBaseline) {
    struct K { int id; };
    const K fast{1}, base{3};
    detail::KernelMenu<K> menu{&fast, nullptr, &base};
    EXPECT_EQ(menu.Count(), 2);
    EXPECT_EQ(menu.Selected().id, 1);
    menu.Use(1);
    EXPECT_EQ(menu.Selected().id, 3);
    menu.Use(7);
    EXPECT_EQ(menu.Selected().id, 3);
    menu.Use(-1);
    EXPECT_EQ(menu.Selected().id, 1);
}

TEST(Variant, ArraysCheckIndicesAndConvertByElementType) {
    auto longs = Variant::MakeLongArray({5, 6, 7}, 1);
    EXPECT_EQ(longs.UBound(), 3);
    EXPECT_RUNTIME_ERROR(longs.At(0), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(Variant::MakeArrayWithoutStorage(VariantType::VariantArray).LBound(),
                         RuntimeError::SubscriptOutOfRange);
    longs.SetAt(1, Variant(2.5));
    EXPECT_EQ(longs.At(1).Type(), VariantType::Long);
    EXPECT_EQ(longs.At(1).AsLongRaw(), 2);
    auto variants = Variant::MakeVariantArray(1);
    variants.SetAt(0, Variant(2.5));
    EXPECT_EQ(variants.At(0).Type(), VariantType::Double);
    Variant copy = longs;
    copy.SetAt(1, Variant(int32_t{9}));
    EXPECT_EQ(longs.At(1).ToLong(), 2);
}

TEST(FloatingPoint, FaultKindsAndEnvironments) {
    std::fesetround(FE_DOWNWARD);
    volatile double r = 1.0 / zero;  // the caller's own pending flag
    {
        fp::FpScope scope;
        EXPECT_EQ(std::fegetround(), FE_TONEAREST);
        EXPECT_FALSE(fp::HasFault());
        r = 1.0 / zero;
        EXPECT_RUNTIME_ERROR(fp::TestStep(), RuntimeError::DivisionByZero);
        r = big * 2.0;
        EXPECT_RUNTIME_ERROR(fp::TestStep(), RuntimeError::Overflow);
        r = zero / zero;
        try {
            fp::TestStep();
            ADD_FAILURE();
        } catch (const Error& e) {
            EXPECT_EQ(e.Description(), kInvalidOperationText);
        }
        r = DBL_MIN * DBL_MIN;  // underflow is not a fault
        EXPECT_NO_THROW(fp::TestStep());
        int seen = -1;
        fp::RunInCallerEnvironment([&] { seen = std::fegetround(); r = 1.0 / zero; });
        EXPECT_EQ(seen, FE_DOWNWARD);
        EXPECT_FALSE(fp::HasFault());  // the caller's code left nothing behind
        r = big * 4.0;
    }
    EXPECT_EQ(std::fegetround(), FE_DOWNWARD);
    EXPECT_TRUE(std::fetestexcept(FE_DIVBYZERO));
    EXPECT_FALSE(std::fetestexcept(FE_OVERFLOW));
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
    (void)r;
}

TEST(NumberFormat, FixedDecimalsCorrectlyRoundedWithoutSignedZero) {
    const std::vector<std::tuple<double, int, const char*>> cases = {
        {-2.5, 3, "-2.500"}, {2.25, 0, "2"},      {2.25, -4, "2"},     {1e20, 0, "100000000000000000000"},
        {2.5, 0, "2"},       {3.5, 0, "4"},       {0.125, 2, "0.12"},  {2.675, 2, "2.67"},
        {-0.0, 3, "0.000"},  {-0.0004, 3, "0.000"}, {-0.0006, 3, "-0.001"}};
    for (const auto& [x, decimals, text] : cases) EXPECT_EQ(format::FormatFixed(x, decimals), text) << x;
}

TEST(Random, RepeatableRangeRoundingAndThreadSafety) {
    random::ResetForTesting();
    std::vector<float> expected;
    for (int k = 0; k < 20000; ++k) {
        expected.push_back(random::NextSingle());
        ASSERT_GE(expected.back(), 0.0f);
        ASSERT_LT(expected.back(), 1.0f);
    }
    random::ResetForTesting();
    std::vector<float> a, b;
    std::thread t1([&] { for (int k = 0; k < 10000; ++k) a.push_back(random::NextSingle()); });
    std::thread t2([&] { for (int k = 0; k < 10000; ++k) b.push_back(random::NextSingle()); });
    t1.join();
    t2.join();
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(a, expected);  // each value of the sequence drawn exactly once
    EXPECT_GT(std::unique(a.begin(), a.end()) - a.begin(), 19000);
    EXPECT_TRUE(std::filesystem::is_directory(platform::LibraryFolder()));
}
