// The combination kernels of the eliminations: every form the processor
// supports, subtracting and adding, gives the bits and the fault flags of
// the plain loop, at every length around the forms' block sizes and with
// every number of terms.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "host/runtime/FloatingPoint.h"
#include "linsys/Combination.h"

namespace kestrim::test {
namespace {

using Form = void (*)(double*, const double* const*, const double*, std::size_t, std::size_t);

// y[i] = y[i] - f * x[i] (or + f * x[i]), one term after the other.
template <bool Subtract>
void PlainLoop(double* y, const double* const* x, const double* f, std::size_t terms, std::size_t n) {
    for (std::size_t k = 0; k < terms; ++k)
        for (std::size_t i = 0; i < n; ++i) y[i] = Subtract ? y[i] - f[k] * x[k][i] : y[i] + f[k] * x[k][i];
}

struct NamedForm {
    const char* name;
    Form form, plain;
};

std::vector<NamedForm> Forms() {
    using namespace linsys::combination;
    std::vector<NamedForm> forms{{"sse2 -", Sse2<true>, PlainLoop<true>},
                                 {"sse2 +", Sse2<false>, PlainLoop<false>},
                                 {"dispatch -", linsys::SubtractCombination, PlainLoop<true>},
                                 {"dispatch +", linsys::AddCombination, PlainLoop<false>}};
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::DetectAvx()) {
        forms.push_back({"avx -", Avx<true>, PlainLoop<true>});
        forms.push_back({"avx +", Avx<false>, PlainLoop<false>});
    }
    if (hasAvx512) {
        forms.push_back({"avx512 -", Avx512<true>, PlainLoop<true>});
        forms.push_back({"avx512 +", Avx512<false>, PlainLoop<false>});
    }
#endif
    return forms;
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(CombinationKernel, EveryFormMatchesThePlainLoopBitForBit) {
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (const auto& [name, form, plain] : Forms())
        for (std::size_t n : {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40, 47, 64, 65, 100})
            for (std::size_t terms : {0, 1, 2, 5, 7, 8, 47}) {
                SCOPED_TRACE(::testing::Message() << name << " n=" << n << " terms=" << terms);
                std::vector<std::vector<double>> xs(terms, std::vector<double>(n + 1));
                std::vector<const double*> x;
                std::vector<double> f(terms), y(n + 1);
                for (auto& v : xs) {
                    for (double& e : v) e = dist(gen) * 1e3;
                    x.push_back(v.data());
                }
                for (double& e : f) e = dist(gen);
                for (double& e : y) e = dist(gen);
                std::vector<double> expect = y;
                plain(expect.data(), x.data(), f.data(), terms, n);
                form(y.data(), x.data(), f.data(), terms, n);
                EXPECT_TRUE(SameBits(y, expect));  // the element past n untouched as well
            }
}

// An overflow, an invalid operation or a NaN in any one lane: the same
// results and the same sticky flags as the plain loop.
TEST(CombinationKernel, FaultsAndSpecialValuesAsThePlainLoop) {
    const double big = 1.7e308, inf = INFINITY;
    // One lane's y, x0 and x1; the factors of the two terms (for every lane).
    struct Case { double y, x0, x1, f0, f1; };
    const Case cases[] = {{-big, big, 1.0, 1.0, 1.0},       // overflow in the first term
                          {1.0, 2.0, inf, 1.0, 0.0},        // inf * 0: invalid in the second
                          {inf, inf, 1.0, 1.0, 1.0},        // inf - inf
                          {NAN, 1.0, 1.0, 1.0, 1.0},        // a NaN passes through quietly
                          {1e-308, 1e-300, 0.0, 1e-10, 1.0}};  // an underflow is no fault
    for (const auto& [name, form, plain] : Forms())
        for (std::size_t lane : {0, 5, 17, 38})
            for (const Case& c : cases) {
                SCOPED_TRACE(::testing::Message() << name << " lane=" << lane << " y=" << c.y);
                constexpr std::size_t n = 40;
                std::vector<double> y(n, 1.0), x0(n, 0.5), x1(n, 0.25);
                y[lane] = c.y, x0[lane] = c.x0, x1[lane] = c.x1;
                const double f[] = {c.f0, c.f1};
                const double* x[] = {x0.data(), x1.data()};
                std::vector<double> expect = y;
                std::feclearexcept(FE_ALL_EXCEPT);
                plain(expect.data(), x, f, 2, n);
                const int expectFlags = std::fetestexcept(fp::kFaultFlags);
                std::feclearexcept(FE_ALL_EXCEPT);
                form(y.data(), x, f, 2, n);
                const int flags = std::fetestexcept(fp::kFaultFlags);
                std::feclearexcept(FE_ALL_EXCEPT);
                EXPECT_TRUE(SameBits(y, expect));
                EXPECT_EQ(flags, expectFlags);
                if (plain == PlainLoop<true>) {  // the first three are faults when subtracting
                    EXPECT_EQ(expectFlags != 0, &c - cases < 3);
                }
            }
}

}  // namespace
}  // namespace kestrim::test
