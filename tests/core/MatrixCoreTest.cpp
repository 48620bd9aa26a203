// Dimensions, element access, error records, array exchange and text.
#include <gtest/gtest.h>

#include "core/MatrixAccess.h"
#include "host/runtime/Platform.h"
#include "support/TestSupport.h"

using namespace kestrim;
using namespace kestrim::test;

TEST(MatrixStorage, NewObjectReportsOneByOneWithoutStorage) {
    auto m = Matrix::New();
    EXPECT_EQ(m->Rows(), 1);
    EXPECT_EQ(m->Cols(), 1);
    EXPECT_FALSE(m->FireEvents());
    EXPECT_EQ(m->MaxSize(), 2147483647);
    EXPECT_RUNTIME_ERROR(m->Item(0, 0), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(m->Clone(), RuntimeError::SubscriptOutOfRange);
    EXPECT_FALSE(m->AsArray().HasStorage());
    EXPECT_EQ(m->GetString(), "Not initialized");
}

TEST(MatrixStorage, ErrorRecordAndHelpFile) {
    try {
        Matrix::New()->SetRows(0);
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.Number(), -2147220203);  // 0x80040515
        EXPECT_EQ(e.Description(), "KestrimMatrixLib.Matrix Error Number: 1301\r\rInvalid number of rows.");
        EXPECT_EQ(e.HelpContext(), 1101);
        EXPECT_EQ(e.HelpFile(), detail::HelpFilePathFor(platform::LibraryFolder()));
    }
    EXPECT_EQ(detail::HelpFilePathFor("C:\\Lib"), "C:\\Lib/KTMatrixLib.CHM");
    EXPECT_EQ(detail::HelpFilePathFor("C:\\"), "C:\\/KTMatrixLib.CHM");
    EXPECT_EQ(detail::HelpFilePathFor("/usr/lib/"), "/usr/lib/KTMatrixLib.CHM");
}

TEST(MatrixStorage, RejectedCallsChangeNothing) {
    auto m = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    EXPECT_MATRIX_ERROR(m->SetRows(-3), 1, 1101);
    EXPECT_MATRIX_ERROR(m->SetCols(0), 2, 1102);
    EXPECT_MATRIX_ERROR(m->Size(0, 0), 1, 1103);  // rows are tested first
    EXPECT_MATRIX_ERROR(m->Size(5, 0), 2, 1103);
    EXPECT_MATRIX_ERROR(m->Item(-1, -1), 19, 1105);
    EXPECT_MATRIX_ERROR(m->SetItem(0, 3, 5.0), 20, 1105);
    EXPECT_RUNTIME_ERROR(m->Size(2000000000, 2000000000), RuntimeError::OutOfMemory);
    EXPECT_RUNTIME_ERROR(m->SetRows(2147483647), RuntimeError::OutOfMemory);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2, 3}, {4, 5, 6}}));
}

TEST(MatrixStorage, RowCountClearsColumnCountKeepsColumns) {
    auto m = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    m->SetCols(4);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2, 3, 0}, {4, 5, 6, 0}}));
    m->SetCols(2);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2}, {4, 5}}));
    m->SetRows(2);
    EXPECT_EQ(ToRows(*m), (Rows{{0, 0}, {0, 0}}));
    auto a = Matrix::New();
    a->SetRows(3);
    EXPECT_EQ(a->GetString(), "Not initialized");
    a->SetCols(2);
    EXPECT_EQ(ToRows(*a), (Rows(3, {0, 0})));
}

TEST(AsArray, AcceptsZeroBasedArraysAndNeverSharesThem) {
    auto source = DoubleArray::Create2D(1, 2);
    source.At(1, 0) = 4;
    auto m = Matrix::New();
    m->SetAsArray(source);
    source.At(1, 0) = 99;
    EXPECT_EQ(ToRows(*m), (Rows{{0, 0, 0}, {4, 0, 0}}));
    auto out = m->AsArray();
    out.At(1, 0) = 99;
    EXPECT_EQ(m->Item(1, 0), 4.0);

    auto column = DoubleArray::Create1D(2);
    for (int i = 0; i < 3; ++i) column.At(i, 0) = 10 + i;
    m->SetAsArray(column);
    EXPECT_EQ(ToRows(*m), (Rows{{10}, {11}, {12}}));

    m->SetAsArray(DoubleArray::Create2D(-1, 2));  // an empty dimension
    EXPECT_EQ(m->Rows(), 0);
    EXPECT_EQ(m->Cols(), 3);
    EXPECT_EQ(m->GetString(), "");
}

TEST(AsArray, RejectedArraysLeaveTheObject) {
    auto m = MakeMatrix({{1, 2}, {3, 4}});
    EXPECT_MATRIX_ERROR(m->SetAsArray(DoubleArray::Create2D(1, 1, 1, 0)), 4, 1107);
    EXPECT_MATRIX_ERROR(m->SetAsArray(DoubleArray::Create2D(1, 1, 0, 1)), 4, 1107);
    EXPECT_MATRIX_ERROR(m->SetAsArray(Variant(2.0)), 3, 1107);
    EXPECT_RUNTIME_ERROR(m->SetAsArray(DoubleArray()), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(m->SetAsArray(DoubleArray::Create1D(-1)), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(m->SetAsArray(DoubleArray::Create({{0, 1}, {0, 1}, {0, 1}})),
                         RuntimeError::TypeMismatch);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2}, {3, 4}}));
}

TEST(Clone, IndependentCopyWithEventsOff) {
    auto m = MakeMatrix({{1, 2}, {3, 4}});
    m->SetFireEvents(true);
    auto c = m->Clone();
    EXPECT_FALSE(c->FireEvents());
    c->SetItem(0, 0, 7);
    EXPECT_EQ(m->Item(0, 0), 1.0);
    EXPECT_EQ(c->Item(1, 1), 4.0);
}

TEST(GetString, Rendering) {
    EXPECT_EQ(MakeMatrix({{1, -2.5}, {10, 0}})->GetString(), "|  1.000 -2.500 |\r\n| 10.000  0.000 |\r\n");
    EXPECT_EQ(MakeMatrix({{2.25}})->GetString(-2, "\n"), "| 2 |\n");
    EXPECT_EQ(MakeMatrix({{1}, {2}})->GetString(0, ""), "| 1 || 2 |");
    EXPECT_EQ(MakeMatrix({{-0.0001, 123.4567}})->GetString(2, "<EOL>"), "|   0.00 123.46 |<EOL>");
    // Cells longer than a 16-bit length are rendered whole.
    const std::string text = MakeMatrix({{1, -1}})->GetString(32767, "");
    EXPECT_EQ(text.size(), 1 + 2 * (2 + 32767 + 2) + 2u);
    EXPECT_EQ(Matrix::New()->Version(), "2.1.435");
}
