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

TEST(GetString, VeryLongCellsAreRenderedWhole) {
    // 32767 decimals make cells longer than a 16-bit length could hold.
    const std::string text = MakeMatrix({{1, -1}})->GetString(32767, "");
    const std::size_t cell = 2 + 32767;  // "1." and the decimals
    ASSERT_EQ(text.size(), 1 + (cell + 2) + (cell + 2) + 2);
    EXPECT_EQ(text.substr(0, 5), "|  1.");
    EXPECT_EQ(text.substr(text.size() - 3), "0 |");
    EXPECT_NE(text.find(" -1.000"), std::string::npos);
}

TEST(Version, IsMajorMinorRevision) { EXPECT_EQ(Matrix::New()->Version(), "2.1.435"); }
