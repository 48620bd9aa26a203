#include <cmath>
#include <limits>

#include "linsys/Oracles.h"

namespace kestrim::test {
namespace {

TEST(CholeskyTest, ExamplesAndOneByOne) {
    MatrixPtr l = Matrix::New();
    MakeMatrix({{4, 2}, {2, 3}})->Cholesky(&l);
    EXPECT_EQ(ToRows(*l), (Rows{{2, 0}, {1, std::sqrt(2.0)}}));
    MakeMatrix({{9}})->CHOLdc(&l);
    EXPECT_EQ(ToRows(*l), (Rows{{3}}));
    for (double x : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        MatrixPtr out = MakeMatrix({{5}});
        EXPECT_MATRIX_ERROR(MakeMatrix({{x}})->Cholesky(&out), 14, 1128);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_MATRIX_ERROR(MakeMatrix({{1, 2}})->Cholesky(&l), 5, 1128);
    EXPECT_RUNTIME_ERROR(Matrix::New()->Cholesky(&l), RuntimeError::SubscriptOutOfRange);
}

TEST(CholeskyTest, SymmetryFailureKeepsTheOutputRadicandFailureEmptiesIt) {
    MatrixPtr l = MakeMatrix({{7}});
    const MatrixPtr original = l;
    EXPECT_MATRIX_ERROR(MakeMatrix({{1, 2}, {3, 4}})->Cholesky(&l), 14, 1128);
    EXPECT_EQ(l, original);

    auto a = MakeMatrix({{1, 2}, {2, 1}});
    auto rec = Record(a);
    EXPECT_MATRIX_ERROR(a->Cholesky(&l), 14, 1128);
    EXPECT_EQ(l, nullptr);
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "Cholesky", 50.0f}}));

    l = original;
    EXPECT_MATRIX_ERROR(MakeMatrix({{0, 0}, {0, 1}})->CHOLdc(&l), 14, 1128);
    EXPECT_EQ(l, nullptr);

    // Column 0 passes, column 1 passes its radicand and then fails the pair (2, 1).
    l = original;
    auto b = MakeMatrix({{4, 2, 0}, {2, 3, 1}, {0, 2, 5}});
    auto rec2 = Record(b);
    EXPECT_MATRIX_ERROR(b->Cholesky(&l), 14, 1128);
    EXPECT_EQ(l, original);
    EXPECT_EQ(ToRows(*l), (Rows{{7}}));
    EXPECT_EQ(rec2->Percents(), (std::vector<float>{100.0f / 3}));
}

TEST(CholeskyTest, OutputResizedOmittedOrCancelled) {
    MatrixPtr l = MakeMatrix({{1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}});
    const Rows spd{{4, 2, 2}, {2, 5, 3}, {2, 3, 6}};
    MakeMatrix(spd)->Cholesky(&l);
    EXPECT_TRUE(SameRows(ToRows(*l), oracle::Cholesky(spd)));
    EXPECT_EQ(l->Item(0, 2), 0.0);

    auto a = MakeMatrix(spd);
    auto rec = Record(a);
    a->Cholesky();
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "Cholesky", 100.0f / 3},
                                                       {"OnProgress", "Cholesky", 200.0f / 3},
                                                       {"OnProgress", "Cholesky", 100.0f},
                                                       {"Done", "CHOLdc", 0.0f}}));
    MatrixPtr none;
    a->Cholesky(&none);
    EXPECT_EQ(none, nullptr);

    rec->events.clear();
    rec->onProgress = [](int index, bool& cancel) { cancel = index == 1; };
    MatrixPtr kept = MakeMatrix({{8}});
    a->Cholesky(&kept);
    EXPECT_EQ(ToRows(*kept), (Rows{{8}}));
    EXPECT_EQ(rec->events.size(), 2u);

    // The receiver as its own output: computed from the original elements.
    auto self = MakeMatrix(spd);
    self->Cholesky(&self);
    EXPECT_TRUE(SameRows(ToRows(*self), oracle::Cholesky(spd)));
}

TEST(CholeskyTest, BitIdenticalAndReproducesTheMatrix) {
    std::mt19937_64 gen(31);
    for (int n : {2, 3, 8, 21, 64, 111}) {
        const Rows b = oracle::RandomRows(n, n, gen);
        Rows spd(n, std::vector<double>(n));
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                double s = i == j ? n : 0.0;
                for (int k = 0; k < n; ++k) s += b[i][k] * b[j][k];
                spd[i][j] = s;
            }
        MatrixPtr l = Matrix::New();
        MakeMatrix(spd)->Cholesky(&l);
        const Rows c = ToRows(*l);
        EXPECT_TRUE(SameRows(c, oracle::Cholesky(spd))) << n;
        Rows ct(n, std::vector<double>(n));
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) ct[i][j] = c[j][i];
        const Rows llt = Multiply(c, ct);
        const double tol = 16 * n * std::numeric_limits<double>::epsilon() * MaxAbs(spd);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) EXPECT_NEAR(llt[i][j], spd[i][j], tol);
    }
}

TEST(CholeskyTest, FaultsAndSymmetryAreTestedInRowOrder) {
    MatrixPtr l = MakeMatrix({{7}});
    const MatrixPtr original = l;
    // c(1, 0) = 1e300 / 1e-150 overflows.
    EXPECT_FAULT(MakeMatrix({{1e-300, 1e300}, {1e300, 1}})->Cholesky(&l), "Overflow");
    EXPECT_EQ(l, original);
    // An asymmetric row before the overflowing one wins ...
    EXPECT_MATRIX_ERROR(
        MakeMatrix({{1e-300, 1, 1e300}, {2, 1, 0}, {1e300, 0, 1}})->Cholesky(&l), 14, 1128);
    EXPECT_EQ(l, original);
    // ... and one after it loses.
    EXPECT_FAULT(MakeMatrix({{1e-300, 1e300, 1}, {1e300, 1, 0}, {2, 0, 1}})->Cholesky(&l),
                 "Overflow");
    // An overflowing radicand sum is a fault, not a failed radicand test.
    EXPECT_FAULT(MakeMatrix({{1, 1e200}, {1e200, 1}})->Cholesky(&l), "Overflow");
    EXPECT_EQ(l, original);
}

TEST(CholeskyTest, HandlersThatResizeTheReceiverAreHonoured) {
    // Shrunk after column 0: column 1 reads (1, 1) and then (2, 1), which is gone.
    auto a = MakeMatrix({{4, 2, 2}, {2, 5, 3}, {2, 3, 6}});
    auto rec = Record(a);
    rec->onProgress = [&a](int index, bool&) {
        if (index != 0) return;
        a->Size(2, 2);
        a->SetItem(1, 1, 100);
    };
    MatrixPtr l = MakeMatrix({{7}});
    EXPECT_RUNTIME_ERROR(a->Cholesky(&l), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(ToRows(*l), (Rows{{7}}));

    // Emptied: the next read raises the subscript error.
    auto b = MakeMatrix({{4, 2}, {2, 3}});
    auto rec2 = Record(b);
    rec2->onProgress = [&b](int, bool&) { b->SetAsArray(DoubleArray::Create2D(-1, 1)); };
    EXPECT_RUNTIME_ERROR(b->Cholesky(&l), RuntimeError::SubscriptOutOfRange);

    // Enlarged: the values now at those positions are used.
    auto c = MakeMatrix({{4, 2}, {2, 3}});
    auto rec3 = Record(c);
    rec3->onProgress = [&c](int index, bool&) {
        if (index != 0) return;
        c->Size(3, 3);
        c->SetItem(1, 1, 9);
    };
    c->Cholesky(&l);
    EXPECT_EQ(ToRows(*l), (Rows{{2, 0}, {1, std::sqrt(8.0)}}));
}

}  // namespace
}  // namespace kestrim::test
