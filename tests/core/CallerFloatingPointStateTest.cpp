// Members that do floating-point work without raising events must still run
// in the default environment and hand the caller's state back unchanged:
// rounding mode, sticky flags (the denormal-operand flag included) and
// flush-to-zero / denormals-are-zero.
#include <gtest/gtest.h>

#include <cfenv>
#include <xmmintrin.h>

#include "support/TestSupport.h"

namespace kestrim::test {
namespace {

constexpr unsigned kFlushToZero = 0x8000u, kDenormalsAreZero = 0x0040u;

struct CallerState {
    const char* name;
    int rounding;
    int flags;
    unsigned csrBits;
};

TEST(CallerFloatingPointState, GetStringIgnoresAndKeepsTheCallersState) {
    auto m = MakeMatrix({{5e-324, 1.0 / 3}, {-2.5, 2.2250738585072014e-308}});
    const std::string expected = m->GetString(20);
    const std::vector<CallerState> states{
        {"default", FE_TONEAREST, 0, 0},
        {"downward, flags set", FE_DOWNWARD, FE_INVALID | FE_INEXACT, 0},
        {"toward zero, flush to zero", FE_TOWARDZERO, 0, kFlushToZero | kDenormalsAreZero},
        {"upward, all flags, denormals are zero", FE_UPWARD, FE_ALL_EXCEPT, kDenormalsAreZero},
    };
    for (const auto& c : states) {
        SCOPED_TRACE(c.name);
        std::fesetround(c.rounding);
        std::feclearexcept(FE_ALL_EXCEPT);
        std::feraiseexcept(c.flags);
        _mm_setcsr(_mm_getcsr() | c.csrBits);
        const unsigned csrBefore = _mm_getcsr();
        const std::string text = m->GetString(20);
        const unsigned csrAfter = _mm_getcsr();
        const int roundingAfter = std::fegetround();
        std::fesetenv(FE_DFL_ENV);
        EXPECT_EQ(text, expected);
        EXPECT_EQ(csrAfter, csrBefore);
        EXPECT_EQ(roundingAfter, c.rounding);
    }
}

}  // namespace
}  // namespace kestrim::test
