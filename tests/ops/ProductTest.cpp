// Times and the packed product kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <memory>
#include <tuple>
#include <vector>

#include "ops/OpsTestUtil.h"
#include "ops/ProductKernel.h"

namespace kestrim::test {
namespace {

namespace product = detail::product;

struct Shape {
    int32_t m, n, q;
};

const Shape kAwkwardShapes[] = {{1, 1, 1},    {7, 7, 7},    {33, 33, 33}, {130, 130, 130},
                                {130, 33, 7}, {7, 130, 33}, {1, 257, 1},  {200, 3, 301},
                                {25, 300, 9}, {193, 17, 2}, {24, 256, 8}, {400, 1, 13}};

// Runs one kernel over rows [i0, i1) of a x b, as Times does.
Dense KernelProduct(const product::Kernel& kernel, const Dense& a, const Dense& b, int32_t i0,
                    int32_t i1) {
    const int32_t m = a.rows, n = a.cols, q = b.cols;
    std::vector<double> acol(static_cast<std::size_t>(m) * n), bcol(static_cast<std::size_t>(n) * q);
    for (int32_t i = 0; i < m; ++i)
        for (int32_t k = 0; k < n; ++k) acol[static_cast<std::size_t>(k) * m + i] = a(i, k);
    for (int32_t k = 0; k < n; ++k)
        for (int32_t j = 0; j < q; ++j) bcol[static_cast<std::size_t>(j) * n + k] = b(k, j);
    std::vector<double> packed(static_cast<std::size_t>(n) * q);
    kernel.packB(bcol.data(), n, n, q, packed.data());
    std::vector<double> work(kernel.workSize);
    std::vector<double> c(static_cast<std::size_t>(m) * q, 0.0);
    kernel.multiplyRows(acol.data(), m, i0, i1, n, packed.data(), q, c.data(), m, work.data());
    Dense out = MakeDense(m, q);
    for (int32_t i = 0; i < m; ++i)
        for (int32_t j = 0; j < q; ++j) out(i, j) = c[static_cast<std::size_t>(j) * m + i];
    return out;
}

TEST(ProductKernels, EveryKernelMatchesThePlainLoopBitForBit) {
    ASSERT_GE(product::SupportedKernelCount(), 1);
    for (int kx = 0; kx < product::SupportedKernelCount(); ++kx) {
        const product::Kernel& kernel = product::SupportedKernel(kx);
        for (const Shape& s : kAwkwardShapes) {
            SCOPED_TRACE(std::string(kernel.name) + " " + std::to_string(s.m) + "x" +
                         std::to_string(s.n) + "x" + std::to_string(s.q));
            const Dense a = RandomDense(s.m, s.n, 11u + s.m);
            const Dense b = RandomDense(s.n, s.q, 17u + s.q);
            EXPECT_EQ(CountBitDifferences(KernelProduct(kernel, a, b, 0, s.m), OracleProduct(a, b)),
                      0);
        }
    }
}

TEST(ProductKernels, RowRangeLeavesOtherRowsAndRowKernelAgrees) {
    for (int kx = 0; kx < product::SupportedKernelCount(); ++kx) {
        const product::Kernel& kernel = product::SupportedKernel(kx);
        SCOPED_TRACE(kernel.name);
        const Dense a = RandomDense(61, 45, 5);
        const Dense b = RandomDense(45, 19, 6);
        const Dense expected = OracleProduct(a, b);
        const Dense part = KernelProduct(kernel, a, b, 13, 40);
        for (int32_t i = 0; i < a.rows; ++i)
            for (int32_t j = 0; j < b.cols; ++j) {
                if (i >= 13 && i < 40)
                    EXPECT_TRUE(SameBits(part(i, j), expected(i, j))) << i << "," << j;
                else
                    EXPECT_TRUE(SameBits(part(i, j), 0.0)) << i << "," << j;
            }

        // The one-row kernel, also with a shorter sum (the first kmax rows).
        std::vector<double> bcol(45 * 19), packed(45 * 19), out(19 * 3);
        for (int32_t k = 0; k < 45; ++k)
            for (int32_t j = 0; j < 19; ++j) bcol[static_cast<std::size_t>(j) * 45 + k] = b(k, j);
        kernel.packB(bcol.data(), 45, 45, 19, packed.data());
        const Dense shorter = OracleProduct(a, b, 30);
        for (int32_t i : {0, 29, 60}) {
            std::vector<double> row(a.v.begin() + i * 45, a.v.begin() + (i + 1) * 45);
            kernel.multiplyRow(row.data(), 45, packed.data(), 45, 19, out.data(), 3);
            for (int32_t j = 0; j < 19; ++j) EXPECT_TRUE(SameBits(out[j * 3], expected(i, j)));
            kernel.multiplyRow(row.data(), 30, packed.data(), 45, 19, out.data(), 3);
            for (int32_t j = 0; j < 19; ++j) EXPECT_TRUE(SameBits(out[j * 3], shorter(i, j)));
        }
    }
}

TEST(ProductKernels, PaddingLanesRaiseNoFlags) {
    // Infinities in the operands next to partial tiles: a kernel that
    // computed lanes outside the result (0 * inf) would raise invalid.
    for (int kx = 0; kx < product::SupportedKernelCount(); ++kx) {
        const product::Kernel& kernel = product::SupportedKernel(kx);
        SCOPED_TRACE(kernel.name);
        Dense a = RandomDense(27, 5, 1);
        Dense b = RandomDense(5, 11, 2);
        for (int32_t k = 0; k < 5; ++k) {
            a(26, k) = kInf;
            b(k, 10) = kInf;
            a(0, k) = 1.0;
            b(k, 0) = 1.0;
        }
        for (int32_t i = 0; i < 27; ++i)
            for (int32_t k = 0; k < 5; ++k) a(i, k) = std::fabs(a(i, k));
        for (int32_t k = 0; k < 5; ++k)
            for (int32_t j = 0; j < 11; ++j) b(k, j) = std::fabs(b(k, j));
        std::feclearexcept(FE_ALL_EXCEPT);
        const Dense c = KernelProduct(kernel, a, b, 0, 27);
        EXPECT_EQ(std::fetestexcept(FE_INVALID | FE_OVERFLOW | FE_DIVBYZERO), 0);
        EXPECT_EQ(CountBitDifferences(c, OracleProduct(a, b)), 0);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
}

TEST(Times, MatchesThePlainLoopWithEventsOffAndOn) {
    for (const Shape& s : kAwkwardShapes) {
        SCOPED_TRACE(std::to_string(s.m) + "x" + std::to_string(s.n) + "x" + std::to_string(s.q));
        const Dense a = RandomDense(s.m, s.n, 3u + s.n);
        const Dense b = RandomDense(s.n, s.q, 4u + s.m);
        const Dense expected = OracleProduct(a, b);
        auto ma = ToMatrix(a);
        auto mb = ToMatrix(b);
        MatrixPtr c = ma->Times(mb);
        ASSERT_TRUE(c);
        EXPECT_EQ(CountBitDifferences(FromMatrix(*c), expected), 0);
        auto rec = Record(ma);
        c = ma->Times(mb);
        ASSERT_TRUE(c);
        EXPECT_EQ(CountBitDifferences(FromMatrix(*c), expected), 0);
        EXPECT_EQ(rec->events.size(), static_cast<std::size_t>(s.m) + 1);
        EXPECT_FALSE(c->FireEvents());
    }
}

TEST(Times, SizesAndSimpleCases) {
    auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    auto b = MakeMatrix({{1, 0, 2, 1}, {0, 1, 1, 2}, {1, 1, 0, 3}});
    MatrixPtr c = a->Times(b);
    ASSERT_TRUE(c);
    EXPECT_EQ(ToRows(*c), (Rows{{4, 5, 4, 14}, {10, 11, 13, 32}}));

    EXPECT_MATRIX_ERROR(a->Times(MakeMatrix({{1, 2, 3}, {4, 5, 6}})), 7, 1114);
    EXPECT_RUNTIME_ERROR(a->Times(nullptr), RuntimeError::MissingObject);
    // A receiver without storage reports 1 x 1 and fails when read.
    EXPECT_RUNTIME_ERROR(Matrix::New()->Times(MakeMatrix({{2}})), RuntimeError::SubscriptOutOfRange);

    // The receiver as its own argument gives its square.
    auto sq = MakeMatrix({{1, 2}, {3, 4}});
    c = sq->Times(sq);
    ASSERT_TRUE(c);
    EXPECT_EQ(ToRows(*c), (Rows{{7, 10}, {15, 22}}));
    EXPECT_EQ(ToRows(*sq), (Rows{{1, 2}, {3, 4}}));

    // The dot product is summed in increasing k: ((1e16 + 1) + 1) - 1e16
    // loses both ones, ((1 + 1) + 1e16) - 1e16 keeps them.
    auto ones = MakeMatrix({{1}, {1}, {1}, {1}});
    c = MakeMatrix({{1e16, 1, 1, -1e16}})->Times(ones);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Rows(), 1);
    EXPECT_EQ(c->Cols(), 1);
    EXPECT_EQ(c->Item(0, 0), 0.0);
    c = MakeMatrix({{1, 1, 1e16, -1e16}})->Times(ones);
    EXPECT_EQ(c->Item(0, 0), 2.0);

    // Every sum starts from +0: products of -0 give +0.
    c = MakeMatrix({{-0.0, -0.0}})->Times(MakeMatrix({{1}, {2}}));
    EXPECT_TRUE(SameBits(c->Item(0, 0), 0.0));
}

TEST(Times, EmptyDimensions) {
    auto rows0 = Matrix::New();
    rows0->SetAsArray(DoubleArray::Create2D(-1, 2));  // 0 x 3
    MatrixPtr c = rows0->Times(MakeMatrix({{1, 2}, {3, 4}, {5, 6}}));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Rows(), 0);
    EXPECT_EQ(c->Cols(), 2);

    auto cols0 = Matrix::New();
    cols0->SetAsArray(DoubleArray::Create2D(1, -1));  // 2 x 0
    auto rowsOnly0 = Matrix::New();
    rowsOnly0->SetAsArray(DoubleArray::Create2D(-1, 2));  // 0 x 3
    c = cols0->Times(rowsOnly0);
    ASSERT_TRUE(c);
    EXPECT_EQ(ToRows(*c), (Rows{{0, 0, 0}, {0, 0, 0}}));

    // No rows: the argument's elements are never read, even when it has none.
    auto noRows = Matrix::New();
    noRows->SetAsArray(DoubleArray::Create2D(-1, 0));  // 0 x 1
    for (bool events : {false, true}) {
        noRows->SetFireEvents(events);
        c = noRows->Times(Matrix::New());
        ASSERT_TRUE(c);
        EXPECT_EQ(c->Rows(), 0);
        EXPECT_EQ(c->Cols(), 1);
    }
}

TEST(Times, TransposeOfProductIsProductOfTransposes) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> dist(-9, 9);
    for (const auto& [m, n, q] : {std::tuple{3, 4, 5}, std::tuple{17, 9, 26}, std::tuple{40, 31, 2}}) {
        Dense a = MakeDense(m, n), b = MakeDense(n, q);
        for (double& x : a.v) x = dist(gen);
        for (double& x : b.v) x = dist(gen);
        auto ma = ToMatrix(a), mb = ToMatrix(b);
        MatrixPtr left = ma->Times(mb)->Transpose();
        MatrixPtr right = mb->Transpose()->Times(ma->Transpose());
        EXPECT_EQ(CountBitDifferences(FromMatrix(*left), FromMatrix(*right)), 0);
        EXPECT_TRUE(left->IsEqualTo(right, 0.5));
    }
}

TEST(Times, EventsAndCancel) {
    auto a = MakeMatrix({{1, 2}, {3, 4}});
    auto rec = Record(a);
    MatrixPtr c = a->Times(MakeMatrix({{1}, {1}}));
    ASSERT_TRUE(c);
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "Times", 50.0f},
                                                       {"OnProgress", "Times", 100.0f},
                                                       {"Done", "Times", 0.0f}}));
    rec->events.clear();
    rec->onProgress = [](int, bool& cancel) { cancel = true; };
    EXPECT_EQ(a->Times(MakeMatrix({{1}, {1}})), nullptr);
    EXPECT_EQ(rec->events.size(), 1u);
}

// A matrix whose row `row` overflows in its sums (1e308 + 1e308) and whose
// row `invalidRow` is invalid (inf * 0).
Dense FaultyMatrix(int32_t rows, int32_t overflowRow, int32_t invalidRow) {
    Dense a = RandomDense(rows, 4, 9);
    if (overflowRow >= 0) {
        a(overflowRow, 1) = 1e308;
        a(overflowRow, 2) = 1e308;
    }
    if (invalidRow >= 0) a(invalidRow, 3) = kInf;
    return a;
}

TEST(Times, FaultIsTheFirstFaultingStepInRowOrder) {
    Dense b = RandomDense(4, 5, 10);
    for (int32_t k = 0; k < 4; ++k) b(k, 0) = std::fabs(b(k, 0)) + 1.0;
    b(3, 0) = 0.0;  // row invalidRow: inf * 0 in column 0
    for (bool events : {false, true}) {
        SCOPED_TRACE(events ? "events on" : "events off");
        for (const auto& [rows, ovf, inv, want] :
             {std::tuple{3, 0, 1, "overflow"}, std::tuple{3, 1, 0, "invalid"},
              std::tuple{400, 250, 390, "overflow"}, std::tuple{400, 391, 250, "invalid"},
              std::tuple{400, -1, 399, "invalid"}, std::tuple{400, 5, 5, "overflow"}}) {
            auto a = ToMatrix(FaultyMatrix(rows, ovf, inv));
            std::shared_ptr<EventRecorder> rec;
            if (events) rec = Record(a);
            const Dense before = FromMatrix(*a);
            EXPECT_EQ(FaultOf([&] { a->Times(ToMatrix(b)); }), want) << rows << " " << ovf;
            EXPECT_EQ(CountBitDifferences(FromMatrix(*a), before), 0);
            if (events) {
                // Every row before the faulting one reported; no Done.
                const int32_t first = std::min(ovf < 0 ? rows : ovf, inv < 0 ? rows : inv);
                EXPECT_EQ(rec->events.size(), static_cast<std::size_t>(first));
                for (const auto& e : rec->events) EXPECT_EQ(e.kind, "OnProgress");
            }
        }
    }
}

TEST(Times, FaultWithinOneElementIsTheEarliestStep) {
    // Element (0,0): the step k = 1 overflows; k = 2 would then be inf - inf.
    auto a = MakeMatrix({{kMax, kMax, -kInf}});
    auto b = MakeMatrix({{1, 0}, {1, 0}, {1, 0}});
    EXPECT_EQ(FaultOf([&] { a->Times(b); }), "overflow");
    // 0 * inf in the first step of (0,0), overflow later in (0,1).
    a = MakeMatrix({{kInf, kMax}});
    b = MakeMatrix({{0, 1}, {1, 2}});
    EXPECT_EQ(FaultOf([&] { a->Times(b); }), "invalid");
}

TEST(Times, HandlerChangesTheReceiverBetweenRows) {
    const int32_t m = 230, n = 20, q = 9;
    const Dense a = RandomDense(m, n, 21);
    const Dense b = RandomDense(n, q, 22);

    // A changed element: the rows after the change use the new value.
    {
        auto ma = ToMatrix(a);
        auto rec = Record(ma);
        rec->onProgress = [&](int index, bool&) {
            if (index == 2) ma->SetItem(100, 4, 12345.5);
            if (index == 200) ma->SetItem(201, 0, -7.25);
        };
        MatrixPtr c = ma->Times(ToMatrix(b));
        ASSERT_TRUE(c);
        Dense changed = a;
        changed(100, 4) = 12345.5;
        changed(201, 0) = -7.25;
        EXPECT_EQ(CountBitDifferences(FromMatrix(*c), OracleProduct(changed, b)), 0);
    }
    // A row that would fault, repaired by a handler before it is reached:
    // the product completes with the repaired row.
    {
        Dense faulty = a;
        faulty(150, 0) = 0.95e308;  // the sum of the first two steps overflows
        faulty(150, 1) = 0.95e308;
        Dense bpos = b;
        for (double& x : bpos.v) x = 1.0 + std::ldexp(std::fabs(x), -21);  // in [1, 1.5]
        auto ma = ToMatrix(faulty);
        auto rec = Record(ma);
        EXPECT_EQ(FaultOf([&] { ma->Times(ToMatrix(bpos)); }), "overflow");
        EXPECT_EQ(rec->events.size(), 150u);
        rec->onProgress = [&](int index, bool&) {
            if (index == 100) ma->SetItem(150, 1, -3.5);
        };
        MatrixPtr c = ma->Times(ToMatrix(bpos));
        ASSERT_TRUE(c);
        faulty(150, 1) = -3.5;
        EXPECT_EQ(CountBitDifferences(FromMatrix(*c), OracleProduct(faulty, bpos)), 0);
    }
    // Fewer columns: later sums stop at the new last column.
    {
        auto ma = ToMatrix(a);
        auto rec = Record(ma);
        rec->onProgress = [&](int index, bool&) {
            if (index == 10) ma->SetCols(n - 5);
        };
        MatrixPtr c = ma->Times(ToMatrix(b));
        ASSERT_TRUE(c);
        const Dense full = OracleProduct(a, b), shorter = OracleProduct(a, b, n - 5);
        const Dense got = FromMatrix(*c);
        for (int32_t i = 0; i < m; ++i)
            for (int32_t j = 0; j < q; ++j)
                ASSERT_TRUE(SameBits(got(i, j), i <= 10 ? full(i, j) : shorter(i, j))) << i;
    }
    // More columns than the argument has rows, fewer rows, or no rows left:
    // the subscript error, never an access outside storage.
    for (int variant = 0; variant < 3; ++variant) {
        auto ma = ToMatrix(a);
        auto rec = Record(ma);
        rec->onProgress = [&](int index, bool&) {
            if (index != 3) return;
            if (variant == 0) ma->SetCols(n + 2);
            if (variant == 1) ma->Size(2, n);
            if (variant == 2) ma->SetAsArray(DoubleArray::Create2D(-1, n - 1));
        };
        EXPECT_RUNTIME_ERROR(ma->Times(ToMatrix(b)), RuntimeError::SubscriptOutOfRange);
        EXPECT_EQ(rec->Percents().size(), 4u);
    }
    // The argument changed by a handler: the product uses its copy.
    {
        auto ma = ToMatrix(a);
        auto mb = ToMatrix(b);
        auto rec = Record(ma);
        rec->onProgress = [&](int index, bool&) {
            if (index == 0) mb->Size(1, 1);
        };
        MatrixPtr c = ma->Times(mb);
        ASSERT_TRUE(c);
        EXPECT_EQ(CountBitDifferences(FromMatrix(*c), OracleProduct(a, b)), 0);
    }
}

}  // namespace
}  // namespace kestrim::test
