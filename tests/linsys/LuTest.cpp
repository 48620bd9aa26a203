#include <cmath>
#include <limits>

#include "linsys/Kernels.h"
#include "linsys/Oracles.h"

namespace kestrim::test {
namespace {

struct LuOut {
    MatrixPtr l = Matrix::New();
    MatrixPtr u = Matrix::New();
    Variant perm;
    int32_t sign = 0;
};

LuOut RunLu(const MatrixPtr& a) {
    LuOut out;
    a->LU(&out.l, &out.u, &out.perm, &out.sign);
    return out;
}

std::vector<int32_t> PermOf(const Variant& perm) {
    std::vector<int32_t> p;
    EXPECT_EQ(perm.Type(), VariantType::VariantArray);
    for (int32_t i = perm.LBound(); i <= perm.UBound(); ++i) {
        const Variant e = perm.At(i);
        EXPECT_EQ(e.Type(), VariantType::Long);
        p.push_back(e.AsLongRaw());
    }
    return p;
}

TEST(LuTest, WorkedExampleTieGoesToLaterRowAndZeroPivotBecomesTiny) {
    auto out = RunLu(MakeMatrix({{1, 2}, {2, 4}}));
    EXPECT_EQ(ToRows(*out.l), (Rows{{1, 0}, {0.5, 1}}));
    EXPECT_EQ(ToRows(*out.u), (Rows{{2, 4}, {0, 1.0e-20}}));
    EXPECT_EQ(PermOf(out.perm), (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(out.sign, -1);
}

TEST(LuTest, AllZeroWeightsPickTheLastRow) {
    auto out = RunLu(MakeMatrix({{0, 1}, {0, 2}}));
    EXPECT_EQ(ToRows(*out.l), (Rows{{1, 0}, {0, 1}}));
    EXPECT_EQ(ToRows(*out.u), (Rows{{1.0e-20, 2}, {0, 1}}));
    EXPECT_EQ(PermOf(out.perm), (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(out.sign, -1);
}

TEST(LuTest, OneByOneAndIdentity) {
    auto a = MakeMatrix({{-3.5}});
    auto rec = Record(a);
    auto out = RunLu(a);
    EXPECT_EQ(ToRows(*out.l), (Rows{{1}}));
    EXPECT_EQ(ToRows(*out.u), (Rows{{-3.5}}));
    EXPECT_EQ(PermOf(out.perm), (std::vector<int32_t>{0}));
    EXPECT_EQ(out.sign, 1);
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "LU", 100.0f}, {"Done", "LU", 0.0f}}));

    Rows id{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    auto o2 = RunLu(MakeMatrix(id));
    EXPECT_EQ(ToRows(*o2.l), id);
    EXPECT_EQ(ToRows(*o2.u), id);
    EXPECT_EQ(PermOf(o2.perm), (std::vector<int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(o2.sign, 1);
}

TEST(LuTest, ZeroRowIsSingularBeforeAnyEventWithIdentityPermutation) {
    LuOut out;
    out.l = MakeMatrix({{7}});
    EXPECT_MATRIX_ERROR(RunLu(MakeMatrix({{0}})), 13, 1127);
    auto a = MakeMatrix({{1, 2, 3}, {0, 0, 0}, {4, 5, 6}});
    auto rec = Record(a);
    out.sign = 9;
    EXPECT_MATRIX_ERROR(a->LU(&out.l, &out.u, &out.perm, &out.sign), 13, 1127);
    EXPECT_TRUE(rec->events.empty());
    EXPECT_EQ(PermOf(out.perm), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(out.sign, 1);
    EXPECT_EQ(ToRows(*out.l), (Rows{{7}}));
    try {
        MakeMatrix({{0}})->LU();
    } catch (const Error& e) {
        EXPECT_NE(e.Description().find("\r\rDecomposition is not possible for a singular matrix."),
                  std::string::npos);
    }
}

TEST(LuTest, NonSquareTouchesNoOutput) {
    LuOut out;
    out.perm = Variant(int32_t{42});
    out.sign = 5;
    auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    EXPECT_MATRIX_ERROR(a->LU(&out.l, &out.u, &out.perm, &out.sign), 5, 1127);
    EXPECT_MATRIX_ERROR(a->LUdc(&out.l, &out.u, &out.perm, &out.sign), 5, 1127);
    EXPECT_EQ(out.perm.Type(), VariantType::Long);
    EXPECT_EQ(out.sign, 5);
}

TEST(LuTest, OutputsAreResizedOnlyWhenNeededAndShareOneObject) {
    std::mt19937_64 gen(7);
    const Rows src = oracle::DominantRows(3, gen);
    auto a = MakeMatrix(src);
    const auto expect = oracle::Lu(src);
    ASSERT_TRUE(expect);

    // A 2 x 5 output is re-dimensioned; a 3 x 3 one is overwritten.
    MatrixPtr l = MakeMatrix({{9, 9, 9, 9, 9}, {9, 9, 9, 9, 9}});
    MatrixPtr u = MakeMatrix({{9, 9, 9}, {9, 9, 9}, {9, 9, 9}});
    a->LU(&l, &u);
    EXPECT_EQ(l->Rows(), 3);
    EXPECT_EQ(l->Cols(), 3);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            EXPECT_TRUE(SameBits(l->Item(i, j), j > i ? 0.0 : j == i ? 1.0 : expect->a[i][j]));
            EXPECT_TRUE(SameBits(u->Item(i, j), j >= i ? expect->a[i][j] : 0.0));
        }

    // The same object as both outputs ends holding U.
    MatrixPtr both = Matrix::New();
    a->LU(&both, &both);
    EXPECT_TRUE(SameRows(ToRows(*both), ToRows(*u)));

    // Omitted and empty outputs: nothing created, the permutation still delivered.
    MatrixPtr none;
    Variant perm;
    a->LU(&none, nullptr, &perm);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(PermOf(perm), (std::vector<int32_t>(expect->perm.begin(), expect->perm.end())));

    // The receiver as its own output: replaced by L, computed from the original.
    a->LUdc(&a);
    EXPECT_TRUE(SameRows(ToRows(*a), ToRows(*l)));
}

class LuKernelsTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { linsys::UseBaselineKernels(GetParam()); }
    void TearDown() override { linsys::UseBaselineKernels(false); }
};

INSTANTIATE_TEST_SUITE_P(WideAndBaseline, LuKernelsTest, ::testing::Values(false, true));

TEST_P(LuKernelsTest, BitIdenticalToCroutOnAwkwardSizes) {
    std::mt19937_64 gen(2024);
    for (int n : {2, 3, 5, 8, 13, 31, 33, 64, 97, 130}) {
        for (bool integers : {false, true}) {
            const Rows src = oracle::RandomRows(n, n, gen, integers);
            const auto expect = oracle::Lu(src);
            auto a = MakeMatrix(src);
            if (!expect) {
                EXPECT_MATRIX_ERROR(RunLu(a), 13, 1127);
                continue;
            }
            auto out = RunLu(a);
            Rows got(n, std::vector<double>(n));
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j)
                    got[i][j] = j < i ? out.l->Item(i, j) : out.u->Item(i, j);
            EXPECT_TRUE(SameRows(got, expect->a)) << "n=" << n << " integers=" << integers;
            EXPECT_EQ(PermOf(out.perm), (std::vector<int32_t>(expect->perm.begin(), expect->perm.end())));
            EXPECT_EQ(out.sign, expect->sign);
        }
    }
}

TEST(LuTest, FactorsReproduceThePermutedMatrix) {
    std::mt19937_64 gen(99);
    for (int n : {4, 20, 77}) {
        const Rows src = oracle::RandomRows(n, n, gen);
        auto out = RunLu(MakeMatrix(src));
        const auto perm = PermOf(out.perm);
        const Rows lu = Multiply(ToRows(*out.l), ToRows(*out.u));
        const double tol = 64 * n * std::numeric_limits<double>::epsilon() * MaxAbs(src);
        int parity = 1;
        std::vector<int32_t> p = perm;
        for (int i = 0; i < n; ++i)
            while (p[i] != i) {
                std::swap(p[i], p[p[i]]);
                parity = -parity;
            }
        EXPECT_EQ(parity, out.sign);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) EXPECT_NEAR(lu[i][j], src[perm[i]][j], tol);
    }
}

TEST(LuTest, ProgressCancelAndFireEventsSwitch) {
    auto a = MakeMatrix({{4, 1, 2}, {1, 5, 3}, {2, 3, 6}});
    auto rec = Record(a);
    auto out = RunLu(a);
    EXPECT_EQ(rec->Percents(), (std::vector<float>{100.0f / 3, 200.0f / 3, 100.0f}));
    EXPECT_EQ(rec->events.back(), (RecordedEvent{"Done", "LU", 0.0f}));

    // Cancel at the first event: outputs untouched, permutation as reached.
    auto b = MakeMatrix({{1, 2, 0}, {3, 1, 1}, {0, 5, 1}});
    auto rec2 = Record(b);
    rec2->onProgress = [](int index, bool& cancel) { cancel = index == 0; };
    LuOut c;
    c.l = MakeMatrix({{8}});
    b->LU(&c.l, &c.u, &c.perm, &c.sign);
    EXPECT_EQ(rec2->events.size(), 1u);
    EXPECT_EQ(ToRows(*c.l), (Rows{{8}}));
    const auto partial = oracle::Lu({{1, 2, 0}, {3, 1, 1}, {0, 5, 1}}, 1);
    const auto full = oracle::Lu({{1, 2, 0}, {3, 1, 1}, {0, 5, 1}});
    ASSERT_NE(partial->perm, full->perm);  // column 1 still interchanges
    EXPECT_EQ(PermOf(c.perm), (std::vector<int32_t>(partial->perm.begin(), partial->perm.end())));
    EXPECT_EQ(c.sign, partial->sign);

    // A handler that switches events off gets nothing more, not even Done.
    auto d = MakeMatrix({{4, 1, 2}, {1, 5, 3}, {2, 3, 6}});
    auto rec3 = Record(d);
    rec3->onProgress = [&d](int, bool&) { d->SetFireEvents(false); };
    RunLu(d);
    EXPECT_EQ(rec3->events.size(), 1u);
}

TEST(LuTest, HandlerThatEmptiesTheReceiverDoesNotDisturbTheWorkCopy) {
    std::mt19937_64 gen(5);
    const Rows src = oracle::RandomRows(6, 6, gen);
    auto a = MakeMatrix(src);
    auto rec = Record(a);
    rec->onProgress = [&a](int index, bool&) {
        if (index == 0) a->Size(1, 1);
        if (index == 2) a->SetAsArray(DoubleArray::Create2D(-1, 3));
    };
    auto out = RunLu(a);
    const auto expect = oracle::Lu(src);
    EXPECT_TRUE(SameBits(out.u->Item(5, 5), expect->a[5][5]));
    EXPECT_TRUE(SameBits(out.l->Item(5, 0), expect->a[5][0]));
}

TEST(LuTest, ReceiverWithoutStorage) {
    Variant perm;
    int32_t sign = 0;
    EXPECT_RUNTIME_ERROR(Matrix::New()->LU(nullptr, nullptr, &perm, &sign),
                         RuntimeError::SubscriptOutOfRange);
}

TEST(LuTest, ArithmeticFaultsStopAtTheirOwnStep) {
    // 1 / big overflows for a row whose largest magnitude is subnormal.
    Variant perm;
    int32_t sign = 0;
    MatrixPtr l = MakeMatrix({{3}});
    auto tiny = MakeMatrix({{1.0e-309, 0}, {0, 1}});
    auto rec = Record(tiny);
    EXPECT_FAULT(tiny->LU(&l, nullptr, &perm, &sign), "Overflow");
    EXPECT_TRUE(rec->events.empty());
    EXPECT_EQ(PermOf(perm), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(ToRows(*l), (Rows{{3}}));

    // An overflowing multiplier after a row interchange: the interchange is
    // already recorded, no event of that column is raised.
    auto swapped = MakeMatrix({{1.0e200, 1.0e300}, {1.0e-200, 1.0e-300}});
    auto rec2 = Record(swapped);
    EXPECT_FAULT(swapped->LU(&l, nullptr, &perm, &sign), "Overflow");
    EXPECT_TRUE(rec2->events.empty());
    EXPECT_EQ(PermOf(perm), (std::vector<int32_t>{1, 0}));
    EXPECT_EQ(sign, -1);
    // The same without an interchange.
    auto kept = MakeMatrix({{1.0e-200, 1.0e-300}, {1.0e200, 1.0e300}});
    EXPECT_FAULT(kept->LU(&l, nullptr, &perm, &sign), "Overflow");
    EXPECT_EQ(PermOf(perm), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(sign, 1);

    // A sum of column 2 overflows: columns 0 and 1 are reported first.
    auto late = MakeMatrix({{2, 0, 1.7e308}, {0, 1, 0}, {1.9, 0, -1.7e308}});
    auto rec3 = Record(late);
    EXPECT_FAULT(late->LU(&l, nullptr, &perm, &sign), "Overflow");
    EXPECT_EQ(rec3->Percents(), (std::vector<float>{100.0f / 3, 200.0f / 3}));
    EXPECT_EQ(ToRows(*l), (Rows{{3}}));

    // An infinite entry: inf - inf in a sum is an invalid operation.
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FAULT(MakeMatrix({{1, inf}, {1, inf}})->LU(), kInvalidOperationText);
}

TEST(LuTest, FaultInALaterPanelIsReportedAfterEveryEarlierColumn) {
    // The product of column 0 overflows in element (35, 35), which the
    // decomposition reaches in column 35: 35 events, then the fault (the
    // blocked elimination meets it early, in a trailing update).
    const int n = 40;
    Rows src(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i) src[i][i] = 1;
    src[0][0] = 2;
    src[0][35] = 1.7e308;
    src[35][0] = 1.9;
    src[35][35] = -1.7e308;
    std::swap(src[1], src[2]);  // column 1 interchanges rows 1 and 2
    auto a = MakeMatrix(src);
    auto rec = Record(a);
    // The decomposition works on its own copy, also when it has to go back
    // to the start: a handler that shrinks the receiver changes nothing.
    rec->onProgress = [&a](int index, bool&) {
        if (index == 0) a->Size(1, 1);
    };
    Variant perm;
    int32_t sign = 0;
    EXPECT_FAULT(a->LU(nullptr, nullptr, &perm, &sign), "Overflow");
    ASSERT_EQ(rec->events.size(), 35u);
    for (int j = 0; j < 35; ++j)
        EXPECT_EQ(rec->events[j], (RecordedEvent{"OnProgress", "LU", static_cast<float>((j + 1) * 100.0 / n)}));
    // The interchange of column 1 is recorded once.
    std::vector<int32_t> expected(n);
    for (int i = 0; i < n; ++i) expected[i] = i;
    std::swap(expected[1], expected[2]);
    EXPECT_EQ(PermOf(perm), expected);
    EXPECT_EQ(sign, -1);
}

TEST(LuTest, NanColumnKeepsThePreviousPivotRow) {
    // Every weight of column 1 is NaN, so the pivot row stays the one found in
    // column 0 and the interchange reaches back above the diagonal.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Rows src{{3, 1, 1}, {1, nan, 4}, {2, nan, 5}};
    const auto expect = oracle::Lu(src);
    ASSERT_TRUE(expect);
    auto out = RunLu(MakeMatrix(src));
    EXPECT_EQ(PermOf(out.perm), (std::vector<int32_t>(expect->perm.begin(), expect->perm.end())));
    EXPECT_EQ(out.sign, expect->sign);
    for (int i = 0; i < 3; ++i)
        for (int j = i; j < 3; ++j) EXPECT_TRUE(SameBits(out.u->Item(i, j), expect->a[i][j]));
}

}  // namespace
}  // namespace kestrim::test
