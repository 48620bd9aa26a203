#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace kestrim;
using namespace kestrim::test;

TEST(GetString, DefaultsRightAlignToLongestPlusOne) {
    auto m = MakeMatrix({{1, -2.5}, {10, 0}});
    EXPECT_EQ(m->GetString(), "|  1.000 -2.500 |\r\n| 10.000  0.000 |\r\n");
}

TEST(GetString, DecimalsAndLineEnds) {
    EXPECT_EQ(MakeMatrix({{0}})->GetString(), "| 0.000 |\r\n");
    EXPECT_EQ(MakeMatrix({{2.25}})->GetString(0), "| 2 |\r\n");
    EXPECT_EQ(MakeMatrix({{2.25}})->GetString(-2, "\n"), "| 2 |\n");
    EXPECT_EQ(MakeMatrix({{1}, {2}})->GetString(0, ""), "| 1 || 2 |");
    EXPECT_EQ(MakeMatrix({{-0.0001, 123.4567}})->GetString(2, "<EOL>"), "|   0.00 123.46 |<EOL>");
}

TEST(GetString, NotInitialized) {
    EXPECT_EQ(Matrix::New()->GetString(), "Not initialized");
    auto m = Matrix::New();
    m->SetCols(4);
    EXPECT_EQ(m->GetString(), "Not initialized");
}

TEST(Version, IsMajorMinorRevision) { EXPECT_EQ(Matrix::New()->Version(), "2.1.435"); }
