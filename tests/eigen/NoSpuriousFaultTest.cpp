// Inputs without any arithmetic fault must never raise one. The fault tests
// read the processor's sticky flags, so a compiler that speculates a
// division above its zero test (or moves an operation across a flag test)
// turns a clean run into "Invalid floating-point operation". These inputs
// take the branches where that happens: exact zeros below the diagonal,
// zero off-diagonal sums, already triangular or diagonal matrices.
#include <gtest/gtest.h>

#include "EigenTestUtil.h"

namespace kestrim::test {
namespace {

struct CleanCase {
    const char* name;
    Rows a;
    std::vector<double> wr;  // exact eigenvalues, in the order Eigen gives them
};

TEST(NoSpuriousFault, EigenOfMatricesWithExactZeros) {
    const std::vector<CleanCase> cases{
        {"upper triangular 2x2", {{2, 1}, {0, 3}}, {2, 3}},
        {"lower triangular 2x2", {{2, 0}, {1, 3}}, {3, 2}},
        {"diagonal 2x2", {{5, 0}, {0, -4}}, {5, -4}},
        {"upper triangular 3x3", {{3, 1, 2}, {0, -1, 4}, {0, 0, 7}}, {3, -1, 7}},
        {"zero 2x2", {{0, 0}, {0, 0}}, {0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EigenResult r;
        ASSERT_NO_THROW(r = RunEigen(MakeMatrix(c.a)));
        EXPECT_EQ(r.wr, c.wr);
        EXPECT_EQ(r.wi, std::vector<double>(c.wr.size(), 0.0));
        EXPECT_LT(WorstResidual(c.a, r), 1e-15);
    }
}

}  // namespace
}  // namespace kestrim::test
