#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "DecompTestUtil.h"

namespace kestrim::test {
namespace {

constexpr int kQrError = 15;
constexpr int kShapeError = 18;
constexpr int kQrHelp = 1131;

struct QrOut {
    MatrixPtr q = Matrix::New();
    MatrixPtr r = Matrix::New();
};

QrOut RunQr(const MatrixPtr& a) {
    QrOut out;
    a->QR(&out.q, &out.r);
    return out;
}

std::vector<float> QrPercents(int n, bool withR, bool withQ) {
    std::vector<float> p;
    for (int k = 0; k < n; ++k) p.push_back(static_cast<float>(20.0 * (k + 1) / n));
    if (withR)
        for (int i = 0; i < n; ++i) p.push_back(static_cast<float>(20.0 + 10.0 * (i + 1) / n));
    if (withQ)
        for (int k = n - 1; k >= 0; --k) p.push_back(static_cast<float>(100.0 - 70.0 * k / n));
    return p;
}

TEST(QR, OneByOneExamples) {
    struct Case {
        double a, q, r;
    } cases[] = {{3, -1, -3}, {-3, -1, 3}, {0, 1, -0.0}};
    for (const auto& c : cases) {
        auto out = RunQr(MakeMatrix({{c.a}}));
        ASSERT_EQ(out.q->Rows(), 1);
        EXPECT_TRUE(SameBits(out.q->Item(0, 0), c.q)) << c.a << " -> Q " << out.q->Item(0, 0);
        EXPECT_TRUE(SameBits(out.r->Item(0, 0), c.r)) << c.a << " -> R " << out.r->Item(0, 0);
    }
}

TEST(QR, TwoByOneAndTwoByTwoExamples) {
    auto out = RunQr(MakeMatrix({{3}, {4}}));
    EXPECT_EQ(out.r->Rows(), 1);
    EXPECT_EQ(out.r->Cols(), 1);
    EXPECT_EQ(out.r->Item(0, 0), -5.0);
    EXPECT_NEAR(out.q->Item(0, 0), -0.6, 1e-15);
    EXPECT_NEAR(out.q->Item(1, 0), -0.8, 1e-15);

    // A zero first column receives no reflection: R(0,0) is -0, Q's first
    // column is e_0.
    out = RunQr(MakeMatrix({{0, 1}, {0, 2}}));
    const Rows r = ToRows(*out.r), q = ToRows(*out.q);
    EXPECT_TRUE(SameBits(r[0][0], -0.0));
    EXPECT_EQ(r[0][1], 1.0);
    EXPECT_TRUE(SameBits(r[1][0], 0.0));
    EXPECT_EQ(r[1][1], -2.0);
    EXPECT_EQ(q, (Rows{{1, 0}, {0, -1}}));
}

TEST(QR, FewerRowsThanColumnsFailsBeforeAnything) {
    auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    auto rec = Record(a);
    QrOut out;
    out.q->Size(1, 2);
    out.q->SetItem(0, 1, 7);
    EXPECT_MATRIX_ERROR(a->QR(&out.q, &out.r), kShapeError, kQrHelp);
    EXPECT_EQ(ToRows(*out.q), (Rows{{0, 7}}));
    EXPECT_EQ(out.r->Rows(), 1);
    EXPECT_TRUE(rec->events.empty());
    // Even a receiver without storage that reports too few rows gets 18.
    auto wide = Matrix::New();
    wide->SetCols(3);
    EXPECT_MATRIX_ERROR(wide->QR(&out.q, &out.r), kShapeError, kQrHelp);
}

TEST(QR, RunTimeFailuresBecomeTheOperationsError) {
    QrOut out;
    // No storage.
    EXPECT_MATRIX_ERROR(Matrix::New()->QR(&out.q, &out.r), kQrError, kQrHelp);
    // Overflow in a column norm.
    EXPECT_MATRIX_ERROR(MakeMatrix({{1.5e308}, {1.5e308}})->QR(&out.q, &out.r), kQrError, kQrHelp);
    // Invalid operations from non-finite input.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_MATRIX_ERROR(MakeMatrix({{1, nan}, {2, 3}})->QR(&out.q, &out.r), kQrError, kQrHelp);
    EXPECT_MATRIX_ERROR(MakeMatrix({{inf, 1}, {2, 3}})->QR(&out.q, &out.r), kQrError, kQrHelp);
    // Nothing was written: the outputs are still new objects.
    EXPECT_FALSE(HasStorage(*out.q));
    EXPECT_FALSE(HasStorage(*out.r));
    // A fault during the factorisation raises no event at all.
    auto a = MakeMatrix({{1.5e308}, {1.5e308}});
    auto rec = Record(a);
    EXPECT_MATRIX_ERROR(a->QR(&out.q, &out.r), kQrError, kQrHelp);
    EXPECT_TRUE(rec->events.empty());
}

TEST(QR, FactorsRandomMatricesAccurately) {
    const int shapes[][2] = {{1, 1}, {5, 5}, {9, 4}, {17, 17}, {40, 13}, {64, 64}};
    uint32_t seed = 11;
    for (const auto& s : shapes) {
        const Grid a = RandomGrid(s[0], s[1], seed++);
        auto out = RunQr(MakeMatrix(a));
        const Grid q = ToGrid(*out.q), r = ToGrid(*out.r);
        ASSERT_EQ(q.size(), static_cast<std::size_t>(s[0]));
        ASSERT_EQ(r.size(), static_cast<std::size_t>(s[1]));
        EXPECT_LT(MaxAbsDiff(Multiply(q, r), a), 1e-13) << s[0] << "x" << s[1];
        EXPECT_LT(MaxAbsDiff(Multiply(Transposed(q), q), Identity(s[1])), 1e-13);
        for (int i = 0; i < s[1]; ++i)
            for (int j = 0; j < i; ++j) EXPECT_TRUE(SameBits(r[i][j], 0.0));
    }
}

// Factors random matrices (with a zero column and a negative zero) and
// compares every bit of Q and R with the step-by-step computation. With
// events on, the work runs in step order; with them off, by column blocks.
void ExpectQrMatchesReference(bool events) {
    const int shapes[][2] = {{2, 2}, {3, 1}, {6, 5}, {7, 7}, {13, 6}, {31, 29}, {50, 50}, {70, 45}};
    uint32_t seed = 100;
    for (const auto& s : shapes) {
        Grid a = RandomGrid(s[0], s[1], seed++, -100, 100);
        if (s[1] > 2) {
            for (auto& row : a) row[1] = 0.0;  // a column with nothing to reflect
            a[0][2] = -0.0;
        }
        const auto expected = reference::Qr(a);
        auto m = MakeMatrix(a);
        auto rec = events ? Record(m) : nullptr;
        auto out = RunQr(m);
        EXPECT_EQ(BitDifferences(ToGrid(*out.q), expected.q), 0) << s[0] << "x" << s[1];
        EXPECT_EQ(BitDifferences(ToGrid(*out.r), expected.r), 0) << s[0] << "x" << s[1];
        if (events) {
            EXPECT_EQ(rec->events.size(), static_cast<std::size_t>(3 * s[1] + 1));
        }
    }
}

TEST(QR, MatchesTheStepByStepComputationBitForBit) {
    for (bool wide : KernelWidths()) {
        KernelWidth width(wide);
        ExpectQrMatchesReference(false);
        ExpectQrMatchesReference(true);
    }
}

TEST(QR, RankDeficientAndZeroMatrices) {
    auto out = RunQr(MakeMatrix({{0, 0}, {0, 0}, {0, 0}}));
    EXPECT_TRUE(SameBits(out.r->Item(0, 0), -0.0));
    EXPECT_TRUE(SameBits(out.r->Item(1, 1), -0.0));
    EXPECT_EQ(ToRows(*out.q), (Rows{{1, 0}, {0, 1}, {0, 0}}));

    const Grid a = {{1, 2, 3}, {2, 4, 6}, {1, 1, 1}, {0, 1, 2}};  // column 3 = 2*c2 - c1
    out = RunQr(MakeMatrix(a));
    EXPECT_LT(MaxAbsDiff(Multiply(ToGrid(*out.q), ToGrid(*out.r)), a), 1e-13);
    EXPECT_LT(std::fabs(out.r->Item(2, 2)), 1e-14);
}

TEST(QR, OmittedOutputsSkipTheirStage) {
    auto a = MakeMatrix(RandomGrid(5, 3, 1));
    auto rec = Record(a);
    a->QR();
    EXPECT_EQ(rec->Percents(), QrPercents(3, false, false));
    EXPECT_EQ(rec->events.back(), (RecordedEvent{"Done", "QR", 0.0f}));

    rec->events.clear();
    MatrixPtr emptyQ;
    auto r = Matrix::New();
    a->QR(&emptyQ, &r);
    EXPECT_EQ(emptyQ, nullptr);
    EXPECT_EQ(r->Rows(), 3);
    EXPECT_EQ(rec->Percents(), QrPercents(3, true, false));
    for (float p : rec->Percents()) EXPECT_LT(p, 100.0f);

    rec->events.clear();
    auto q = Matrix::New();
    a->QR(&q, nullptr);
    EXPECT_EQ(q->Rows(), 5);
    EXPECT_EQ(q->Cols(), 3);
    EXPECT_EQ(rec->Percents(), QrPercents(3, false, true));
    EXPECT_EQ(rec->Percents().back(), 100.0f);
}

TEST(QR, EventsOfACompleteRun) {
    auto a = MakeMatrix(RandomGrid(4, 3, 2));
    auto rec = Record(a);
    QrOut out;
    a->QR(&out.q, &out.r);
    const auto expected = QrPercents(3, true, true);
    ASSERT_EQ(rec->events.size(), expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(rec->events[i].kind, "OnProgress");
        EXPECT_EQ(rec->events[i].operation, "QR");
        EXPECT_EQ(rec->events[i].percent, expected[i]);
    }
    EXPECT_EQ(rec->events.back().kind, "Done");
    // Without FireEvents nothing is raised, and the results are the same.
    auto b = MakeMatrix(RandomGrid(4, 3, 2));
    auto quiet = std::make_shared<EventRecorder>();
    b->Connect(quiet);
    QrOut out2;
    b->QR(&out2.q, &out2.r);
    EXPECT_TRUE(quiet->events.empty());
    EXPECT_EQ(BitDifferences(ToGrid(*out.q), ToGrid(*out2.q)), 0);
}

TEST(QR, FireEventsIsReadAtEveryPoint) {
    auto a = MakeMatrix(RandomGrid(4, 4, 3));
    auto rec = Record(a);
    rec->onProgress = [&](int index, bool&) {
        if (index == 1) a->SetFireEvents(false);
    };
    QrOut out;
    a->QR(&out.q, &out.r);
    EXPECT_EQ(rec->events.size(), 2u);  // no Done either
    EXPECT_LT(MaxAbsDiff(Multiply(ToGrid(*out.q), ToGrid(*out.r)), ToGrid(*a)), 1e-13);
}

TEST(QR, CancelLeavesUnstartedOutputsUntouched) {
    auto a = MakeMatrix(RandomGrid(4, 3, 4));
    auto rec = Record(a);
    rec->onProgress = [](int, bool& cancel) { cancel = true; };
    QrOut out;
    out.q->Size(2, 2);
    out.q->SetItem(1, 1, 5);
    a->QR(&out.q, &out.r);
    EXPECT_EQ(rec->events.size(), 1u);
    EXPECT_EQ(ToRows(*out.q), (Rows{{0, 0}, {0, 5}}));
    EXPECT_EQ(out.r->Rows(), 1);
    EXPECT_EQ(out.r->Cols(), 1);
}

TEST(QR, CancelDuringQLeavesRComplete) {
    const Grid g = RandomGrid(5, 3, 5);
    auto a = MakeMatrix(g);
    auto rec = Record(a);
    // Events 0-2 factorise, 3-5 form R, 6-8 form Q; cancel at the second Q event.
    rec->onProgress = [](int index, bool& cancel) { cancel = index == 7; };
    QrOut out;
    a->QR(&out.q, &out.r);
    EXPECT_EQ(rec->events.size(), 8u);
    EXPECT_EQ(rec->events.back().kind, "OnProgress");
    const auto expected = reference::Qr(g);
    EXPECT_EQ(BitDifferences(ToGrid(*out.r), expected.r), 0);
    // Q is resized and only its last two columns were formed; column 0 is
    // still zero.
    ASSERT_EQ(out.q->Rows(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(SameBits(out.q->Item(i, 0), 0.0));
}

TEST(QR, OutputMayBeTheReceiver) {
    const Grid g = RandomGrid(6, 4, 6);
    auto a = MakeMatrix(g);
    auto r = Matrix::New();
    a->QR(&a, &r);
    const auto expected = reference::Qr(g);
    EXPECT_EQ(BitDifferences(ToGrid(*a), expected.q), 0);
    EXPECT_EQ(BitDifferences(ToGrid(*r), expected.r), 0);
    // The same object for both outputs ends up holding Q (formed last).
    auto b = MakeMatrix(g);
    auto both = Matrix::New();
    b->QR(&both, &both);
    EXPECT_EQ(BitDifferences(ToGrid(*both), expected.q), 0);
}

TEST(QR, HandlerThatShrinksAnOutputStopsTheRun) {
    auto a = MakeMatrix(RandomGrid(4, 4, 7));
    auto rec = Record(a);
    QrOut out;
    rec->onProgress = [&](int index, bool&) {
        if (index == 4) out.r->Size(1, 1);  // during R's stage
    };
    EXPECT_MATRIX_ERROR(a->QR(&out.q, &out.r), kQrError, kQrHelp);
    EXPECT_EQ(rec->events.size(), 5u);

    auto b = MakeMatrix(RandomGrid(4, 4, 7));
    auto rec2 = Record(b);
    QrOut out2;
    rec2->onProgress = [&](int index, bool&) {
        if (index == 9) out2.q->SetAsArray(DoubleArray::Create2D(-1, 2));  // empties Q
    };
    EXPECT_MATRIX_ERROR(b->QR(&out2.q, &out2.r), kQrError, kQrHelp);
    EXPECT_EQ(rec2->events.size(), 10u);
}

TEST(QR, HandlerThatEnlargesQKeepsWorkingOnTheLeadingBlock) {
    const Grid g = RandomGrid(4, 3, 8);
    auto a = MakeMatrix(g);
    auto rec = Record(a);
    QrOut out;
    rec->onProgress = [&](int index, bool&) {
        if (index == 6) {  // after Q's first step: grow Q, keeping its columns
            out.q->SetCols(5);
        }
    };
    a->QR(&out.q, &out.r);
    EXPECT_EQ(out.q->Cols(), 5);
    const auto expected = reference::Qr(g);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_TRUE(SameBits(out.q->Item(i, j), expected.q[i][j]));
}

// The receiver [[1,0,0],[0,1,0],[0,1,1]] gives F(1,1) = 1 + 1/sqrt(2) and
// F(2,1) = 1/sqrt(2). A handler writes into Q's last column after the first
// Q step; the next step then applies the second reflection to that column.
class QrTamperedQ : public ::testing::Test {
protected:
    // Runs QR with Q(1,2) = a and Q(2,2) = b planted after Q's first step.
    void Run(double planted1, double planted2) {
        auto m = MakeMatrix({{1, 0, 0}, {0, 1, 0}, {0, 1, 1}});
        auto rec = Record(m);
        rec->onProgress = [&](int index, bool&) {
            if (index == 6) {
                q->SetItem(1, 2, planted1);
                q->SetItem(2, 2, planted2);
            }
            if (index == 7) snapshot = ToRows(*q);
        };
        try {
            m->QR(&q, &r);
            failed = false;
        } catch (const Error& e) {
            failed = true;
            number = e.Number();
        }
    }
    MatrixPtr q = Matrix::New();
    MatrixPtr r = Matrix::New();
    Rows snapshot;
    bool failed = false;
    int32_t number = 0;
};

TEST_F(QrTamperedQ, OverflowInTheSumWritesNothingOfThatColumn) {
    Run(-1.7e308, 0.0);
    ASSERT_TRUE(failed);
    EXPECT_EQ(number, MatrixErrorNumber(kQrError));
    EXPECT_EQ(q->Item(1, 2), -1.7e308);
    EXPECT_EQ(q->Item(2, 2), 0.0);
    // Column 1 of this step was completed before column 2 faulted.
    const double f11 = 1.0 + 1.0 / std::sqrt(2.0);
    EXPECT_NEAR(q->Item(1, 1), 1.0 - f11, 1e-15);
    EXPECT_NEAR(q->Item(2, 1), -1.0 / std::sqrt(2.0), 1e-15);
    // Column 0 is never reached.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(q->Item(i, 0), 0.0);
}

TEST_F(QrTamperedQ, OverflowInAnUpdateKeepsTheElementsBeforeIt) {
    Run(-1e308, 1.7e308);
    ASSERT_TRUE(failed);
    EXPECT_EQ(number, MatrixErrorNumber(kQrError));
    // Row 1 was updated (finite), row 2 overflowed and holds the infinity.
    const double f11 = 1.0 + 1.0 / std::sqrt(2.0), f21 = 1.0 / std::sqrt(2.0);
    EXPECT_NEAR(q->Item(1, 2) / 1e308, -(1.0 - f11) - 1.7 * f21, 1e-12);
    EXPECT_EQ(q->Item(2, 2), std::numeric_limits<double>::infinity());
    EXPECT_EQ(q->Item(0, 2), 0.0);
    EXPECT_NEAR(q->Item(1, 1), 1.0 - f11, 1e-15);
}

TEST_F(QrTamperedQ, PlantedValuesWithoutFaultAreUsed) {
    Run(2.0, 3.0);
    ASSERT_FALSE(failed);
    // Step 1 reflects the planted column, step 0 leaves rows 1..2 of a
    // column with zero row 0 alone (the first reflection is e_0-based).
    const double f11 = 1.0 + 1.0 / std::sqrt(2.0), f21 = 1.0 / std::sqrt(2.0);
    const double s = -(2.0 * f11 + 3.0 * f21) / f11;
    EXPECT_NEAR(q->Item(1, 2), s * f11 + 2.0, 1e-14);
    EXPECT_NEAR(q->Item(2, 2), s * f21 + 3.0, 1e-14);
    ASSERT_FALSE(snapshot.empty());
    EXPECT_EQ(snapshot[1][2], q->Item(1, 2));
}

}  // namespace
}  // namespace kestrim::test
