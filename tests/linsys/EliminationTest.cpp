#include <cmath>
#include <limits>

#include "linsys/Kernels.h"
#include "linsys/Oracles.h"

namespace kestrim::test {
namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

Rows Column(const std::vector<double>& v) {
    Rows r;
    for (double x : v) r.push_back({x});
    return r;
}

// ---- Determinant ---------------------------------------------------------

TEST(DeterminantTest, ExamplesAndPivotTies) {
    EXPECT_EQ(MakeMatrix({{0, 1}, {1, 0}})->Determinant(), -1.0);
    EXPECT_EQ(MakeMatrix({{1, 2}, {-1, 3}})->Determinant(), 5.0);
    EXPECT_EQ(MakeMatrix({{-2.5}})->Determinant(), -2.5);
    EXPECT_MATRIX_ERROR(MakeMatrix({{1, 2}})->Determinant(), 8, 1116);
    EXPECT_RUNTIME_ERROR(Matrix::New()->Determinant(), RuntimeError::SubscriptOutOfRange);
}

TEST(DeterminantTest, ZeroPivotColumnReturnsZeroAfterEarlierEventsWithoutDone) {
    auto zero = MakeMatrix({{0}});
    auto rec = Record(zero);
    EXPECT_EQ(zero->Determinant(), 0.0);
    EXPECT_TRUE(rec->events.empty());

    auto a = MakeMatrix({{1, 2, 0}, {3, 4, 0}, {5, 6, 0}});
    auto rec2 = Record(a);
    EXPECT_EQ(a->Determinant(), 0.0);
    EXPECT_EQ(rec2->events, (std::vector<RecordedEvent>{{"OnProgress", "Determinant", 100.0f / 3},
                                                        {"OnProgress", "Determinant", 200.0f / 3}}));

    // Rounding leaves a tiny pivot: its product is returned, not 0.
    const Rows near{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    const double d = MakeMatrix(near)->Determinant();
    EXPECT_TRUE(SameBits(d, oracle::Determinant(near)));
    EXPECT_NE(d, 0.0);
}

TEST(DeterminantTest, EventsCancelAndSwitch) {
    auto a = MakeMatrix({{2, 1}, {1, 3}});
    auto rec = Record(a);
    EXPECT_EQ(a->Determinant(), 5.0);
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "Determinant", 50.0f},
                                                       {"OnProgress", "Determinant", 100.0f},
                                                       {"Done", "Determinant", 0.0f}}));
    rec->events.clear();
    rec->onProgress = [](int, bool& cancel) { cancel = true; };
    EXPECT_EQ(a->Determinant(), 0.0);
    EXPECT_EQ(rec->events.size(), 1u);

    // Switched off by the handler: no further event, not even Done.
    rec->events.clear();
    rec->onProgress = [&a](int, bool&) { a->SetFireEvents(false); };
    EXPECT_EQ(a->Determinant(), 5.0);
    EXPECT_EQ(rec->events.size(), 1u);
}

TEST(DeterminantTest, BitIdenticalAndAgreesWithLu) {
    std::mt19937_64 gen(11);
    for (int n : {1, 2, 3, 6, 17, 40, 101}) {
        for (bool integers : {false, true}) {
            const Rows src = oracle::RandomRows(n, n, gen, integers);
            const double det = MakeMatrix(src)->Determinant();
            EXPECT_TRUE(SameBits(det, oracle::Determinant(src))) << n;
            if (integers) continue;
            // The product of U's diagonal with the permutation's sign.
            MatrixPtr u = Matrix::New();
            int32_t sign = 0;
            MakeMatrix(src)->LU(nullptr, &u, nullptr, &sign);
            double product = sign;
            for (int i = 0; i < n; ++i) product *= u->Item(i, i);
            EXPECT_NEAR(det, product, 1e-10 * n * std::fabs(product) + 1e-300);
        }
    }
}

TEST(DeterminantTest, OverflowingProductIsAFault) {
    EXPECT_FAULT(MakeMatrix({{1e200, 0}, {0, 1e200}})->Determinant(), "Overflow");
    // An elimination step whose difference overflows, after the first event.
    auto a = MakeMatrix({{1, 1e308, 0}, {1, -1e308, 0}, {0, 0, 1}});
    auto rec = Record(a);
    EXPECT_FAULT(a->Determinant(), "Overflow");
    EXPECT_TRUE(rec->events.empty());
    EXPECT_FAULT(MakeMatrix({{1, kInf}, {1, kInf}})->Determinant(), kInvalidOperationText);

    // A fault in the second step, after a handler emptied the receiver.
    auto b = MakeMatrix({{1, 0, 0}, {0, 1, 1e308}, {0, 1, -1e308}});
    auto rec2 = Record(b);
    rec2->onProgress = [&b](int, bool&) { b->SetAsArray(DoubleArray::Create2D(-1, 0)); };
    EXPECT_FAULT(b->Determinant(), "Overflow");
    EXPECT_EQ(rec2->Percents(), (std::vector<float>{100.0f / 3}));
}

// ---- Inverse --------------------------------------------------------------

TEST(InverseTest, ExamplesAndErrors) {
    auto a = MakeMatrix({{4}});
    auto rec = Record(a);
    auto inv = a->Inverse();
    EXPECT_EQ(ToRows(*inv), (Rows{{0.25}}));
    EXPECT_FALSE(inv->FireEvents());
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "Inverse", 100.0f},
                                                       {"Done", "Inverse", 0.0f}}));
    EXPECT_EQ(ToRows(*MakeMatrix({{0, 1}, {1, 0}})->Inverse()), (Rows{{0, 1}, {1, 0}}));
    EXPECT_EQ(ToRows(*MakeMatrix({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}})->Inverse()),
              (Rows{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));

    auto zero = MakeMatrix({{0}});
    auto rec0 = Record(zero);
    EXPECT_MATRIX_ERROR(zero->Inverse(), 6, 1108);
    EXPECT_TRUE(rec0->events.empty());
    auto singular = MakeMatrix({{1, 2}, {2, 4}});
    auto rec1 = Record(singular);
    EXPECT_MATRIX_ERROR(singular->Inverse(), 6, 1108);
    EXPECT_EQ(rec1->events, (std::vector<RecordedEvent>{{"OnProgress", "Inverse", 50.0f}}));
    EXPECT_MATRIX_ERROR(MakeMatrix({{1, 2}})->Inverse(), 5, 1108);
    EXPECT_RUNTIME_ERROR(Matrix::New()->Inverse(), RuntimeError::SubscriptOutOfRange);
}

TEST(InverseTest, ResultIsIndependentAndCancelGivesNull) {
    auto a = MakeMatrix({{2, 1}, {1, 1}});
    auto inv = a->Inverse();
    ASSERT_NE(inv, a);
    inv->SetItem(0, 0, 99);
    EXPECT_EQ(a->Item(0, 0), 2.0);

    auto rec = Record(a);
    rec->onProgress = [](int, bool& cancel) { cancel = true; };
    EXPECT_EQ(a->Inverse(), nullptr);
    EXPECT_EQ(rec->events.size(), 1u);
}

TEST(InverseTest, BitIdenticalToGaussJordanOnAwkwardSizes) {
    std::mt19937_64 gen(3);
    for (int n : {1, 2, 3, 5, 9, 16, 33, 70, 129}) {
        for (bool integers : {false, true}) {
            const Rows src = oracle::RandomRows(n, n, gen, integers);
            const auto expect = oracle::GaussJordan(src);
            auto a = MakeMatrix(src);
            if (!expect) {
                EXPECT_MATRIX_ERROR(a->Inverse(), 6, 1108);
                continue;
            }
            EXPECT_TRUE(SameRows(ToRows(*a->Inverse()), *expect)) << n << " " << integers;
        }
    }
}

TEST(InverseTest, TimesTheMatrixIsTheIdentity) {
    std::mt19937_64 gen(8);
    for (int n : {3, 25, 90}) {
        const Rows src = oracle::DominantRows(n, gen);
        const Rows prod = Multiply(src, ToRows(*MakeMatrix(src)->Inverse()));
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) EXPECT_NEAR(prod[i][j], i == j ? 1.0 : 0.0, 1e-13 * n);
    }
}

TEST(InverseTest, FirstFaultDecidesTheError) {
    // Normalising the pivot row overflows, then 0 * inf is invalid in the
    // next row of the same step: the overflow is reported.
    EXPECT_FAULT(MakeMatrix({{1e-300, 1e300}, {0, 1}})->Inverse(), "Overflow");
    EXPECT_FAULT(MakeMatrix({{1, kInf}, {1, 1}})->Inverse(), kInvalidOperationText);
    // A fault in a later step comes after the earlier step's event.
    auto a = MakeMatrix({{1, 0, 0}, {0, 1e-300, 1e300}, {0, 0, 1}});
    auto rec = Record(a);
    EXPECT_FAULT(a->Inverse(), "Overflow");
    EXPECT_EQ(rec->Percents(), (std::vector<float>{100.0f / 3}));
}

TEST(EliminationRowsTest, ZeroEntriesAreSkippedOnlyWhereTheEliminationSaysSo) {
    // A quiet NaN in the pivot row reaches a row whose entry is 0.0 only when
    // that row is processed: Gauss-Jordan inversion processes it (and then
    // finds no usable pivot), the determinant and SolveGauss skip it.
    const Rows a{{1, kNaN}, {0, 1}};
    EXPECT_MATRIX_ERROR(MakeMatrix(a)->Inverse(), 6, 1108);
    EXPECT_MATRIX_ERROR(MakeMatrix(a)->Solve(MakeMatrix(Column({1, 1}))), 10, 1117);
    EXPECT_EQ(MakeMatrix(a)->Determinant(), 1.0);
    const Rows x = ToRows(*MakeMatrix(a)->SolveGauss(MakeMatrix(Column({1, 2}))));
    EXPECT_TRUE(std::isnan(x[0][0]));
    EXPECT_EQ(x[1][0], 2.0);
}

// ---- Solve ------------------------------------------------------------------

TEST(SolveTest, ExamplesAndErrorOrder) {
    EXPECT_EQ(ToRows(*MakeMatrix({{2, 0}, {0, 4}})->Solve(MakeMatrix(Column({2, 4})))),
              Column({1, 1}));
    EXPECT_EQ(ToRows(*MakeMatrix({{0, 1}, {1, 0}})->Solve(MakeMatrix(Column({3, 5})))),
              Column({5, 3}));
    // The reciprocal is formed first, then multiplied.
    const double x = 3, c = 7;
    EXPECT_TRUE(SameBits(MakeMatrix({{x}})->Solve(MakeMatrix({{c}}))->Item(0, 0), (1 / x) * c));

    auto a = MakeMatrix({{1, 2}, {3, 4}});
    EXPECT_MATRIX_ERROR(a->Solve(MakeMatrix({{1, 2}})), 11, 1117);
    EXPECT_MATRIX_ERROR(a->Solve(MakeMatrix({{1, 2}, {3, 4}})), 11, 1117);
    EXPECT_MATRIX_ERROR(MakeMatrix({{1, 2}, {2, 4}})->Solve(MakeMatrix(Column({1, 1}))), 10, 1117);
    EXPECT_RUNTIME_ERROR(a->Solve(nullptr), RuntimeError::MissingObject);
    auto wide = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    EXPECT_MATRIX_ERROR(wide->Solve(nullptr), 9, 1117);
    try {
        wide->Solve(MakeMatrix({{1, 2}}));
    } catch (const Error& e) {
        EXPECT_NE(e.Description().find("\r\rNot as square Matrix. System of equations can not be solved."),
                  std::string::npos);
    }
}

TEST(SolveTest, EventsAreInverseProgressAndSolveDone) {
    auto a = MakeMatrix({{4, 1, 0, 0}, {1, 4, 1, 0}, {0, 1, 4, 1}, {0, 0, 1, 4}});
    auto rec = Record(a);
    auto x = a->Solve(MakeMatrix(Column({1, 2, 3, 4})));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "Inverse", 25.0f},
                                                       {"OnProgress", "Inverse", 50.0f},
                                                       {"OnProgress", "Inverse", 75.0f},
                                                       {"OnProgress", "Inverse", 100.0f},
                                                       {"Done", "Solve", 0.0f}}));
    rec->events.clear();
    rec->onProgress = [](int index, bool& cancel) { cancel = index == 2; };
    EXPECT_EQ(a->Solve(MakeMatrix(Column({1, 2, 3, 4}))), nullptr);
    EXPECT_EQ(rec->events.size(), 3u);
}

TEST(SolveTest, EqualsInverseTimesRightHandSideAndHasSmallResidual) {
    std::mt19937_64 gen(21);
    for (int n : {1, 4, 19, 64}) {
        const Rows src = oracle::DominantRows(n, gen);
        const Rows rhs = oracle::RandomRows(n, 1, gen);
        const auto inv = oracle::GaussJordan(src);
        ASSERT_TRUE(inv);
        const Rows x = ToRows(*MakeMatrix(src)->Solve(MakeMatrix(rhs)));
        for (int i = 0; i < n; ++i) {
            double s = 0;  // the product sums its terms in order
            for (int k = 0; k < n; ++k) s += (*inv)[i][k] * rhs[k][0];
            EXPECT_NEAR(x[i][0], s, 1e-15 * n);
        }
        const Rows ax = Multiply(src, x);
        for (int i = 0; i < n; ++i) EXPECT_NEAR(ax[i][0], rhs[i][0], 1e-12 * n);
    }
}

// ---- SolveGauss ---------------------------------------------------------------

TEST(SolveGaussTest, ExamplesTiesAndErrors) {
    EXPECT_EQ(ToRows(*MakeMatrix({{2, 0}, {0, 4}})->SolveGauss(MakeMatrix(Column({2, 4})))),
              Column({1, 1}));
    EXPECT_EQ(ToRows(*MakeMatrix({{1, 2}, {-1, 3}})->SolveGauss(MakeMatrix(Column({3, 2})))),
              Column({1, 1}));
    EXPECT_EQ(ToRows(*MakeMatrix({{0, 1}, {1, 0}})->SolveGauss(MakeMatrix(Column({3, 5})))),
              Column({5, 3}));
    auto singular = MakeMatrix({{1, 2}, {2, 4}});
    EXPECT_MATRIX_ERROR(singular->SolveGauss(MakeMatrix(Column({1, 1}))), 10, 1118);
    auto a = MakeMatrix({{1, 2}, {3, 4}});
    EXPECT_MATRIX_ERROR(a->SolveGauss(MakeMatrix({{1, 2}})), 11, 1118);
    EXPECT_MATRIX_ERROR(a->SolveGauss(MakeMatrix({{1, 2}, {3, 4}})), 11, 1118);
    auto wide = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    // The right-hand side is read before the squareness test.
    EXPECT_RUNTIME_ERROR(wide->SolveGauss(nullptr), RuntimeError::MissingObject);
    EXPECT_MATRIX_ERROR(wide->SolveGauss(MakeMatrix({{1}})), 9, 1118);
    try {
        wide->SolveGauss(MakeMatrix({{1}}));
    } catch (const Error& e) {
        EXPECT_NE(e.Description().find("\r\rNot a square Matrix. System of equations can not be solved."),
                  std::string::npos);
    }
}

TEST(SolveGaussTest, EventsAndCancel) {
    auto a = MakeMatrix({{2, 1}, {1, 3}});
    auto rec = Record(a);
    EXPECT_NE(a->SolveGauss(MakeMatrix(Column({1, 1}))), nullptr);
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "SolveGauss", 50.0f},
                                                       {"OnProgress", "SolveGauss", 100.0f},
                                                       {"Done", "SolveGauss", 0.0f}}));
    rec->events.clear();
    rec->onProgress = [](int, bool& cancel) { cancel = true; };
    EXPECT_EQ(a->SolveGauss(MakeMatrix(Column({1, 1}))), nullptr);
    EXPECT_EQ(rec->events.size(), 1u);
}

TEST(SolveGaussTest, BitIdenticalAndSmallResidual) {
    std::mt19937_64 gen(13);
    for (int n : {1, 2, 7, 30, 65, 120}) {
        for (bool integers : {false, true}) {
            const Rows src = oracle::RandomRows(n, n, gen, integers);
            const Rows rhs = oracle::RandomRows(n, 1, gen, integers);
            std::vector<double> r;
            for (auto& row : rhs) r.push_back(row[0]);
            const auto expect = oracle::SolveGauss(src, r);
            auto a = MakeMatrix(src);
            if (!expect) {
                EXPECT_MATRIX_ERROR(a->SolveGauss(MakeMatrix(rhs)), 10, 1118);
                continue;
            }
            EXPECT_TRUE(SameRows(ToRows(*a->SolveGauss(MakeMatrix(rhs))), Column(*expect)))
                << n << " " << integers;
        }
        const Rows dom = oracle::DominantRows(n, gen);
        const Rows rhs = oracle::RandomRows(n, 1, gen);
        const Rows ax = Multiply(dom, ToRows(*MakeMatrix(dom)->SolveGauss(MakeMatrix(rhs))));
        for (int i = 0; i < n; ++i) EXPECT_NEAR(ax[i][0], rhs[i][0], 1e-12 * n);
    }
}

TEST(SolveGaussTest, FaultsAndHandlersThatResizeArguments) {
    EXPECT_FAULT(MakeMatrix({{1e-300, 1e300}, {0, 1}})->SolveGauss(MakeMatrix(Column({1, 1}))),
                 "Overflow");
    // The second step overflows after the receiver was shrunk by a handler.
    auto s = MakeMatrix({{1, 0, 0}, {0, 1, 1e308}, {0, 1, -1e308}});
    auto recS = Record(s);
    recS->onProgress = [&s](int, bool&) { s->Size(1, 1); };
    EXPECT_FAULT(s->SolveGauss(MakeMatrix(Column({1, 1, 1}))), "Overflow");
    EXPECT_EQ(recS->Percents(), (std::vector<float>{100.0f / 3}));
    // Handlers resizing the receiver and the right-hand side do not reach the work copies.
    std::mt19937_64 gen(4);
    const Rows src = oracle::DominantRows(5, gen);
    const Rows rhs = oracle::RandomRows(5, 1, gen);
    auto a = MakeMatrix(src);
    auto b = MakeMatrix(rhs);
    auto rec = Record(a);
    rec->onProgress = [&](int, bool&) {
        a->Size(1, 1);
        b->Size(2, 7);
    };
    std::vector<double> r;
    for (auto& row : rhs) r.push_back(row[0]);
    EXPECT_TRUE(SameRows(ToRows(*a->SolveGauss(b)), Column(*oracle::SolveGauss(src, r))));
}

// A right-hand side without storage (a new object reports 1 x 1; one given
// only its row count reports n x 1) passes the size test, but has no entry
// to read: the first step raises the subscript error where it first reads
// one, after its pivot search and, without an interchange, after the
// pivot row's products.
TEST(SolveGaussTest, ArgumentsWithoutStorage) {
    EXPECT_RUNTIME_ERROR(Matrix::New()->SolveGauss(MakeMatrix({{1}})),
                         RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(Matrix::New()->Solve(MakeMatrix({{1}})), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(MakeMatrix({{2}})->Solve(Matrix::New()), RuntimeError::SubscriptOutOfRange);

    EXPECT_RUNTIME_ERROR(MakeMatrix({{2}})->SolveGauss(Matrix::New()),
                         RuntimeError::SubscriptOutOfRange);
    auto a = MakeMatrix({{2, 0, 0}, {0, 2, 0}, {0, 0, 2}});
    auto rec = Record(a);
    auto rowsOnly = Matrix::New();
    rowsOnly->SetRows(3);
    EXPECT_RUNTIME_ERROR(a->SolveGauss(rowsOnly), RuntimeError::SubscriptOutOfRange);
    EXPECT_TRUE(rec->events.empty());
    // With an interchange in the first step.
    EXPECT_RUNTIME_ERROR(MakeMatrix({{1, 0, 0}, {3, 1, 0}, {0, 0, 1}})->SolveGauss(rowsOnly),
                         RuntimeError::SubscriptOutOfRange);
    // A zero first column fails the pivot search before anything is read.
    EXPECT_MATRIX_ERROR(MakeMatrix({{0}})->SolveGauss(Matrix::New()), 10, 1118);
    // The pivot row's products come before the first read of the right-hand side.
    auto twoRows = Matrix::New();
    twoRows->SetRows(2);
    EXPECT_FAULT(MakeMatrix({{1e-300, 1e300}, {0, 1}})->SolveGauss(twoRows), "Overflow");
}

}  // namespace
}  // namespace kestrim::test

namespace kestrim::test {
namespace {

// The baseline kernels give the same bits as the wide ones.
TEST(BaselineKernelsTest, EliminationsMatchTheScalarVersions) {
    linsys::UseBaselineKernels(true);
    std::mt19937_64 gen(77);
    for (int n : {3, 7, 34, 75}) {
        const Rows src = oracle::RandomRows(n, n, gen);
        const Rows rhs = oracle::RandomRows(n, 1, gen);
        std::vector<double> r;
        for (auto& row : rhs) r.push_back(row[0]);
        EXPECT_TRUE(SameBits(MakeMatrix(src)->Determinant(), oracle::Determinant(src)));
        EXPECT_TRUE(SameRows(ToRows(*MakeMatrix(src)->Inverse()), *oracle::GaussJordan(src)));
        Rows x = ToRows(*MakeMatrix(src)->SolveGauss(MakeMatrix(rhs)));
        for (int i = 0; i < n; ++i) EXPECT_TRUE(SameBits(x[i][0], (*oracle::SolveGauss(src, r))[i]));
        Rows spd(n, std::vector<double>(n));
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                double s = i == j ? n : 0.0;
                for (int k = 0; k < n; ++k) s += src[i][k] * src[j][k];
                spd[i][j] = s;
            }
        MatrixPtr l = Matrix::New();
        MakeMatrix(spd)->Cholesky(&l);
        EXPECT_TRUE(SameRows(ToRows(*l), oracle::Cholesky(spd)));
    }
    linsys::UseBaselineKernels(false);
}

}  // namespace
}  // namespace kestrim::test
