#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

#include "decomp/NumericHelpers.h"
#include "host/runtime/FloatingPoint.h"
#include "support/TestSupport.h"

namespace kestrim::test {
namespace {

using detail::ComplexDivide;
using detail::ComplexDivideChecked;
using detail::MaxDouble;
using detail::MinLong;
using detail::Pythag;
using detail::PythagChecked;
using detail::SignOf;

// Runs each test in a clean default floating-point environment.
class NumericHelpers : public ::testing::Test {
protected:
    fp::FpScope scope_;
};

TEST_F(NumericHelpers, PythagBranchesAndSigns) {
    EXPECT_EQ(Pythag(3, 4), 5.0);
    EXPECT_EQ(Pythag(4, 3), 5.0);
    EXPECT_EQ(Pythag(-3, 4), 5.0);
    EXPECT_EQ(Pythag(3, -4), 5.0);
    // Equal magnitudes take the second branch: |b| * sqrt(2).
    EXPECT_TRUE(SameBits(Pythag(-2, 2), 2.0 * std::sqrt(2.0)));
    // Second branch for (3, 4): 4 * sqrt(1 + 0.5625).
    EXPECT_TRUE(SameBits(Pythag(3, 4), 4.0 * std::sqrt(1.0 + 0.75 * 0.75)));
    // First branch for (1, 3e-8): no cancellation, bit-exact ratio form.
    const double r = 3e-8 / 1.0;
    EXPECT_TRUE(SameBits(Pythag(1.0, -3e-8), 1.0 * std::sqrt(1.0 + r * r)));
    EXPECT_FALSE(fp::HasFault());
}

TEST_F(NumericHelpers, PythagZeroArgumentsAreExact) {
    EXPECT_TRUE(SameBits(Pythag(0.0, 0.0), 0.0));
    EXPECT_TRUE(SameBits(Pythag(-0.0, -0.0), 0.0));
    EXPECT_FALSE(fp::HasFault()) << "Pythag(0, 0) must not divide";
    for (double x : {1.0, -7.25, 1e-300, -3e307, 4.9e-324}) {
        EXPECT_TRUE(SameBits(Pythag(x, 0.0), std::fabs(x))) << x;
        EXPECT_TRUE(SameBits(Pythag(0.0, x), std::fabs(x))) << x;
    }
    EXPECT_FALSE(fp::HasFault());
}

TEST_F(NumericHelpers, PythagAvoidsIntermediateOverflow) {
    EXPECT_NEAR(Pythag(1e300, 1e300) / 1e300, std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(Pythag(1e308, 1e308) / 1e308, std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(Pythag(1e-300, 1e-300) / 1e-300, std::sqrt(2.0), 1e-15);
    EXPECT_FALSE(fp::HasFault());
    // Run-time values, so the compiler cannot fold the overflow away.
    volatile double huge = 1.5e308;
    const double big = Pythag(huge, huge);
    EXPECT_TRUE(std::isinf(big));
    EXPECT_TRUE(std::fetestexcept(FE_OVERFLOW));
    fp::ClearFlags();
    volatile double sink = 0;
    EXPECT_RUNTIME_ERROR(sink = PythagChecked(huge, huge), RuntimeError::Overflow);
    EXPECT_EQ(sink, 0.0);
    EXPECT_TRUE(SameBits(PythagChecked(3, 4), 5.0));
}

TEST_F(NumericHelpers, SignOfTreatsBothZerosAsNonNegative) {
    EXPECT_EQ(SignOf(5, 0.0), 5.0);
    EXPECT_EQ(SignOf(5, -0.0), 5.0);
    EXPECT_EQ(SignOf(-5, -0.0), 5.0);
    EXPECT_EQ(SignOf(-5, -1), -5.0);
    EXPECT_EQ(SignOf(-5, 2), 5.0);
    EXPECT_EQ(SignOf(5, -1e-320), -5.0);
    EXPECT_TRUE(SameBits(SignOf(0.0, -1), -0.0));
    EXPECT_TRUE(SameBits(SignOf(-0.0, 1), 0.0));
    EXPECT_TRUE(SameBits(SignOf(-0.0, -0.0), 0.0));
}

TEST_F(NumericHelpers, MaxAndMinReturnTheFirstArgumentOnTies) {
    EXPECT_TRUE(SameBits(MaxDouble(0.0, -0.0), 0.0));
    EXPECT_TRUE(SameBits(MaxDouble(-0.0, 0.0), -0.0));
    EXPECT_EQ(MaxDouble(2, 2), 2.0);
    EXPECT_EQ(MaxDouble(-1, 3), 3.0);
    EXPECT_EQ(MaxDouble(3, -1), 3.0);
    EXPECT_EQ(MinLong(7, 7), 7);
    EXPECT_EQ(MinLong(2, -4), -4);
    EXPECT_EQ(MinLong(-4, 2), -4);
    EXPECT_EQ(MinLong(INT32_MIN, INT32_MAX), INT32_MIN);
}

TEST_F(NumericHelpers, ComplexDivideExamples) {
    double cr = 9, ci = 9;
    ComplexDivide(1, 0, 0, 1, cr, ci);
    EXPECT_EQ(cr, 0.0);
    EXPECT_EQ(ci, -1.0);
    ComplexDivide(1, 1, 1, 1, cr, ci);
    EXPECT_EQ(cr, 1.0);
    EXPECT_EQ(ci, 0.0);
    // (3 + 4i) / (1 - 2i) = -1 + 2i.
    ComplexDivide(3, 4, 1, -2, cr, ci);
    EXPECT_NEAR(cr, -1.0, 1e-15);
    EXPECT_NEAR(ci, 2.0, 1e-15);
    // Scaling keeps huge divisors finite: (1e300 + 1e300 i)/(1e300 + 1e300 i).
    ComplexDivide(1e300, 1e300, 1e300, 1e300, cr, ci);
    EXPECT_EQ(cr, 1.0);
    EXPECT_EQ(ci, 0.0);
    EXPECT_FALSE(fp::HasFault());
}

TEST_F(NumericHelpers, ComplexDivideOutputsMayAliasInputs) {
    double xr = 3, xi = 4;
    ComplexDivide(xr, xi, 1, -2, xr, xi);
    EXPECT_NEAR(xr, -1.0, 1e-15);
    EXPECT_NEAR(xi, 2.0, 1e-15);
    double br = 0, bi = 1;
    ComplexDivide(1, 0, br, bi, br, bi);
    EXPECT_EQ(br, 0.0);
    EXPECT_EQ(bi, -1.0);
}

TEST_F(NumericHelpers, ComplexDivideByZeroFaults) {
    // Run-time values, so the compiler cannot fold the divisions away.
    volatile double zero = 0.0, one = 1.0;
    double cr = 0, ci = 0;
    ComplexDivide(one, 2, zero, zero, cr, ci);
    volatile double sink = cr + ci;
    EXPECT_TRUE(fp::HasFault());
    EXPECT_TRUE(std::isnan(sink));
    fp::ClearFlags();
    // The first faulting step decides the error: 1/0 divides by zero ...
    EXPECT_RUNTIME_ERROR(ComplexDivideChecked(one, zero, zero, zero, cr, ci),
                         RuntimeError::DivisionByZero);
    fp::ClearFlags();
    // ... while 0/0 is an invalid operation, even though 1/0 follows it.
    try {
        ComplexDivideChecked(zero, one, zero, zero, cr, ci);
        ADD_FAILURE() << "expected a fault";
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), static_cast<int32_t>(RuntimeError::Overflow));
        EXPECT_EQ(e.Description(), kInvalidOperationText);
    }
}

}  // namespace
}  // namespace kestrim::test
