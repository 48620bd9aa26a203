// The edges of the runtime's conversions: Long limits, text out of range,
// Booleans stored into Double and Long arrays, which fault wins when one
// step raises several, signed zeros after rounding.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>

#include "host/runtime/FloatingPoint.h"
#include "host/runtime/Random.h"
#include "support/TestSupport.h"

namespace kestrim::test {
namespace {

constexpr int32_t kOverflow = static_cast<int32_t>(RuntimeError::Overflow);
constexpr int32_t kMismatch = static_cast<int32_t>(RuntimeError::TypeMismatch);

// The Long a Variant converts to, or the runtime error number it raises.
int64_t LongOrError(const Variant& v) {
    try {
        return v.ToLong();
    } catch (const Error& e) {
        return e.Number();
    }
}

TEST(Conversions, ToLongAtTheLimitsAndForTextOutOfRange) {
    const std::pair<Variant, int64_t> cases[] = {
        {Variant(-2147483648.0), -2147483648LL},
        {Variant(-2147483648.5), -2147483648LL},  // half to even stays in range
        {Variant(-2147483648.6), kOverflow},
        {Variant(2147483646.5), 2147483646},
        {Variant(2147483647.5), kOverflow},
        {Variant(-0.5), 0},
        {Variant(1.5), 2},
        {Variant(-1.5), -2},
        {Variant(2.5), 2},
        {Variant(-2.5), -2},
        {Variant(0.5000001), 1},
        {Variant(2147483647.4), 2147483647},
        {Variant(3e9), kOverflow},
        {Variant(std::nan("")), kOverflow},
        {Variant(HUGE_VAL), kOverflow},
        {Variant(), 0},
        {Variant("-2147483648"), -2147483648LL},
        {Variant("2147483648"), kOverflow},
        {Variant("3000000000"), kOverflow},
        {Variant("1e400"), kOverflow},   // out of the Double range: overflow, not a mismatch
        {Variant("-1e400"), kOverflow},
        {Variant("1e-400"), 0},          // underflows to zero
        {Variant(" 2.5\t"), 2},
        {Variant("3.5"), 4},
        {Variant(" 12 "), 12},
        {Variant("-1e1"), -10},
        {Variant("1,5"), kMismatch},
        {Variant("inf"), kMismatch},
        {Variant("nan"), kMismatch},
        {Variant("abc"), kMismatch},
        {Variant(""), kMismatch},
        {Variant("0x10"), kMismatch},
        {Variant::FromBoolean(true), -1},
        {Variant::FromBoolean(false), 0},
    };
    int row = 0;
    for (const auto& [v, expected] : cases) EXPECT_EQ(LongOrError(v), expected) << "case " << row++;
    std::feclearexcept(FE_ALL_EXCEPT);  // the conversions' own flags stay here
}

TEST(Conversions, BooleansAndOtherScalarsStoredIntoArrays) {
    auto doubles = Variant(DoubleArray::Create1D(5));
    const std::pair<Variant, double> stored[] = {
        {Variant::FromBoolean(true), -1.0}, {Variant::FromBoolean(false), 0.0}, {Variant(int32_t{-7}), -7.0},
        {Variant(2.75), 2.75}, {Variant(), 0.0},
    };
    for (int32_t i = 0; i < 5; ++i) {
        doubles.SetAt(i, Variant(99.0));
        doubles.SetAt(i, stored[i].first);
        EXPECT_TRUE(SameBits(doubles.At(i).AsDoubleRaw(), stored[i].second)) << i;
    }
    EXPECT_RUNTIME_ERROR(doubles.SetAt(0, Variant("1")), RuntimeError::TypeMismatch);
    auto longs = Variant::MakeLongArray({5, 5});
    longs.SetAt(0, Variant::FromBoolean(true));
    longs.SetAt(1, Variant(-2.5));
    EXPECT_EQ(longs.At(0).AsLongRaw(), -1);
    EXPECT_EQ(longs.At(1).AsLongRaw(), -2);
    EXPECT_RUNTIME_ERROR(longs.SetAt(0, Variant("9e99")), RuntimeError::Overflow);
    EXPECT_EQ(longs.At(0).AsLongRaw(), -1);  // a failed store keeps the entry
    // The upper bound of an index array is a Long as well.
    const auto last = Variant::MakeLongArray({1, 2}, 2147483646);
    EXPECT_EQ(last.UBound(), 2147483647);
    EXPECT_RUNTIME_ERROR(Variant::MakeLongArray({1, 2, 3}, 2147483646), RuntimeError::Overflow);
    EXPECT_RUNTIME_ERROR(Variant::MakeVariantArray(2, 2147483647), RuntimeError::Overflow);
}

TEST(Conversions, OneStepWithSeveralFaultsReportsOneKind) {
    // Division by zero before an invalid operation before overflow.
    const std::tuple<int, int32_t, const char*> cases[] = {
        {FE_OVERFLOW, kOverflow, "Overflow"},
        {FE_INVALID, kOverflow, kInvalidOperationText},
        {FE_DIVBYZERO, static_cast<int32_t>(RuntimeError::DivisionByZero), "Division by zero"},
        {FE_INVALID | FE_OVERFLOW, kOverflow, kInvalidOperationText},
        {FE_DIVBYZERO | FE_OVERFLOW, static_cast<int32_t>(RuntimeError::DivisionByZero), "Division by zero"},
        {FE_DIVBYZERO | FE_INVALID, static_cast<int32_t>(RuntimeError::DivisionByZero), "Division by zero"},
        {FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW | FE_INEXACT, static_cast<int32_t>(RuntimeError::DivisionByZero),
         "Division by zero"},
    };
    for (const auto& [flags, number, text] : cases) {
        fp::FpScope scope;
        try {
            fp::RaiseFault(flags);
            ADD_FAILURE() << flags;
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), number) << flags;
            EXPECT_EQ(e.Description(), text) << flags;
        }
        EXPECT_FALSE(fp::HasFault()) << "the flags are cleared with the error";
    }
}

TEST(Conversions, RoundingKeepsTheSignOfZeroAndTiesGoToEven) {
    const std::tuple<double, int, double> cases[] = {
        {-0.4, 0, -0.0}, {0.4, 0, 0.0},    {-0.004, 2, -0.0}, {2.5, 0, 2.0},  {3.5, 0, 4.0},
        {-2.5, 0, -2.0}, {0.125, 2, 0.12}, {9.7, 0, 10.0},    {1e300, 3, 1e300},
        {HUGE_VAL, 2, HUGE_VAL}, {1.25, 400, 1.25}, {-1.235001, 2, -1.24},
    };
    for (const auto& [x, decimals, want] : cases)
        EXPECT_TRUE(SameBits(random::RoundToDecimals(x, decimals), want)) << x << " " << decimals;
    EXPECT_RUNTIME_ERROR(random::RoundToDecimals(1.0, -1), RuntimeError::InvalidArgument);
    std::feclearexcept(FE_ALL_EXCEPT);
}

}  // namespace
}  // namespace kestrim::test
