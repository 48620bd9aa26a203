#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>

#include "host/runtime/FloatingPoint.h"
#include "support/TestSupport.h"

using kestrim::RuntimeError;
namespace fp = kestrim::fp;

namespace {
volatile double zero = 0.0;
volatile double big = DBL_MAX;
}  // namespace

TEST(FloatingPoint, EachFaultHasItsOwnError) {
    fp::FpScope scope;
    volatile double r = 1.0 / zero;
    EXPECT_RUNTIME_ERROR(fp::TestStep(), RuntimeError::DivisionByZero);
    r = big * 2.0;
    EXPECT_RUNTIME_ERROR(fp::TestStep(), RuntimeError::Overflow);
    r = zero / zero;
    try {
        fp::TestStep();
        ADD_FAILURE() << "invalid operation not reported";
    } catch (const kestrim::Error& e) {
        EXPECT_EQ(e.Number(), static_cast<int32_t>(RuntimeError::Overflow));
        EXPECT_EQ(e.Description(), kestrim::kInvalidOperationText);
    }
    (void)r;
}

TEST(FloatingPoint, UnderflowAndInexactAreNotFaults) {
    fp::FpScope scope;
    volatile double tiny = DBL_MIN;
    volatile double r = tiny * tiny;
    r = 1.0 / 3.0;
    EXPECT_NO_THROW(fp::TestStep());
    (void)r;
}

TEST(FloatingPoint, ScopeRunsInDefaultEnvironmentAndRestoresTheCallers) {
    std::feclearexcept(FE_ALL_EXCEPT);
    std::fesetround(FE_DOWNWARD);
    volatile double r = 1.0 / zero;  // the caller's own pending flag
    {
        fp::FpScope scope;
        EXPECT_EQ(std::fegetround(), FE_TONEAREST);
        EXPECT_FALSE(fp::HasFault());
        r = big * 4.0;
    }
    EXPECT_EQ(std::fegetround(), FE_DOWNWARD);
    EXPECT_TRUE(std::fetestexcept(FE_DIVBYZERO));
    EXPECT_FALSE(std::fetestexcept(FE_OVERFLOW));
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
    (void)r;
}

TEST(FloatingPoint, CallerCodeRunsInCallerEnvironmentWithoutLeaking) {
    std::fesetround(FE_UPWARD);
    {
        fp::FpScope scope;
        int seenRounding = -1;
        fp::RunInCallerEnvironment([&] {
            seenRounding = std::fegetround();
            volatile double r = 1.0 / zero;
            (void)r;
        });
        EXPECT_EQ(seenRounding, FE_UPWARD);
        EXPECT_EQ(std::fegetround(), FE_TONEAREST);
        EXPECT_FALSE(fp::HasFault());
    }
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
}
