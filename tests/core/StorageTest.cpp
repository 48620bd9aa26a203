// Dimensions, element access and the component's error records.
#include <gtest/gtest.h>

#include "core/MatrixAccess.h"
#include "support/TestSupport.h"

using namespace kestrim;
using namespace kestrim::test;

TEST(MatrixStorage, NewObjectDefaults) {
    auto m = Matrix::New();
    EXPECT_EQ(m->Rows(), 1);
    EXPECT_EQ(m->Cols(), 1);
    EXPECT_FALSE(m->FireEvents());
    EXPECT_EQ(m->MaxSize(), 2147483647);
    EXPECT_TRUE(m->IsSquare());
    // It reports 1 x 1 but holds no element.
    EXPECT_RUNTIME_ERROR(m->Item(0, 0), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(m->SetItem(0, 0, 1.0), RuntimeError::SubscriptOutOfRange);
}

TEST(MatrixStorage, ErrorRecordOfInvalidRowCount) {
    auto m = Matrix::New();
    try {
        m->SetRows(0);
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), static_cast<int32_t>(0x80040515));
        EXPECT_EQ(e.Number(), -2147220203);
        EXPECT_EQ(e.Description(), "KestrimMatrixLib.Matrix Error Number: 1301\r\rInvalid number of rows.");
        EXPECT_EQ(e.HelpContext(), 1101);
        const std::string suffix = "/KTMatrixLib.CHM";
        ASSERT_GT(e.HelpFile().size(), suffix.size());
        EXPECT_EQ(e.HelpFile().substr(e.HelpFile().size() - suffix.size()), suffix);
        EXPECT_EQ(e.HelpFile().find("//"), std::string::npos);
    }
}

TEST(MatrixStorage, HelpFileSeparatorIsAlwaysAForwardSlash) {
    EXPECT_EQ(detail::HelpFilePathFor("C:\\Lib"), "C:\\Lib/KTMatrixLib.CHM");
    EXPECT_EQ(detail::HelpFilePathFor("C:\\"), "C:\\/KTMatrixLib.CHM");
    EXPECT_EQ(detail::HelpFilePathFor("/usr/lib/"), "/usr/lib/KTMatrixLib.CHM");
    EXPECT_EQ(detail::HelpFilePathFor("/"), "/KTMatrixLib.CHM");
}

TEST(MatrixStorage, InvalidCountsKeepTheOldState) {
    auto m = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    EXPECT_MATRIX_ERROR(m->SetRows(0), 1, 1101);
    EXPECT_MATRIX_ERROR(m->SetRows(-3), 1, 1101);
    EXPECT_MATRIX_ERROR(m->SetCols(0), 2, 1102);
    EXPECT_MATRIX_ERROR(m->Size(0, 0), 1, 1103);  // rows are tested first
    EXPECT_MATRIX_ERROR(m->Size(0, 5), 1, 1103);
    EXPECT_MATRIX_ERROR(m->Size(5, 0), 2, 1103);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2, 3}, {4, 5, 6}}));
}

TEST(MatrixStorage, RowCountAlwaysClearsColumnCountKeepsColumns) {
    auto m = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    m->SetRows(2);
    EXPECT_EQ(ToRows(*m), (Rows{{0, 0, 0}, {0, 0, 0}}));

    m = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    m->SetCols(2);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2}, {4, 5}}));
    m = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    m->SetCols(4);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2, 3, 0}, {4, 5, 6, 0}}));
}

TEST(MatrixStorage, RowsAndColsInEitherOrderInitialize) {
    auto a = Matrix::New();
    a->SetRows(3);
    EXPECT_EQ(a->Rows(), 3);
    EXPECT_EQ(a->Cols(), 1);
    EXPECT_RUNTIME_ERROR(a->Item(2, 0), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(a->GetString(), "Not initialized");
    a->SetCols(2);
    EXPECT_EQ(ToRows(*a), (Rows{{0, 0}, {0, 0}, {0, 0}}));

    auto b = Matrix::New();
    b->SetCols(2);
    b->SetRows(3);
    EXPECT_EQ(ToRows(*b), ToRows(*a));
}

TEST(MatrixStorage, ItemIsZeroBasedAndChecksRowFirst) {
    auto m = MakeMatrix({{1, 2}, {3, 4}});
    EXPECT_EQ(m->Item(1, 1), 4.0);
    EXPECT_MATRIX_ERROR(m->Item(2, 0), 19, 1105);
    EXPECT_MATRIX_ERROR(m->Item(0, 2), 20, 1105);
    EXPECT_MATRIX_ERROR(m->Item(0, 99), 20, 1105);
    EXPECT_MATRIX_ERROR(m->Item(-1, -1), 19, 1105);
    EXPECT_MATRIX_ERROR(m->SetItem(0, -1, 5.0), 20, 1105);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2}, {3, 4}}));
}

TEST(MatrixStorage, StorageThatCannotBeObtainedLeavesTheObject) {
    auto m = MakeMatrix({{1, 2}, {3, 4}});
    EXPECT_RUNTIME_ERROR(m->Size(2000000000, 2000000000), RuntimeError::OutOfMemory);
    EXPECT_RUNTIME_ERROR(m->SetRows(2147483647), RuntimeError::OutOfMemory);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2}, {3, 4}}));
    auto fresh = Matrix::New();
    fresh->SetRows(2000000000);
    EXPECT_RUNTIME_ERROR(fresh->SetCols(2000000000), RuntimeError::OutOfMemory);
    EXPECT_EQ(fresh->Cols(), 1);
    EXPECT_EQ(fresh->GetString(), "Not initialized");
}

TEST(MatrixStorage, FireEventsIsAPlainSwitch) {
    auto m = Matrix::New();
    m->SetFireEvents(true);
    EXPECT_TRUE(m->FireEvents());
    m->SetFireEvents(false);
    EXPECT_FALSE(m->FireEvents());
}
