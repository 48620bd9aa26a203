// Eigen's contract as a member: validation, outputs, cancellation, event
// switching, handlers that change the receiver, the fall-back from the
// symmetric solver, and the errors it raises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "EigenTestUtil.h"
#include "eigen/EigenInternal.h"

namespace kestrim::test {
namespace {

const Rows kNonSymmetric{{4, 1, -2}, {1, 2, 0}, {-2, 3, 3}};
const Rows kSymmetric{{4, 5, 5}, {5, 4, 3}, {5, 3, -1}};
// Its characteristic polynomial is (x^2 - x - 4)^2 with Jordan blocks: the
// double-shift iteration spends its whole budget without a deflation.
const Rows kStagnating{{-1, 0, 0, 2}, {0, -1, 1, 0}, {1, 0, 2, 0}, {2, -2, 0, 2}};

MatrixPtr Marker() { return MakeMatrix({{42, 43}}); }
bool IsMarker(const MatrixPtr& m) { return m->Rows() == 1 && m->Cols() == 2 && m->Item(0, 1) == 43; }

TEST(EigenValidation, NonSquareRaisesCodeFiveAndTouchesNothing) {
    auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    auto rec = Record(a);
    MatrixPtr wr = Marker(), vr = Marker();
    EXPECT_MATRIX_ERROR(a->Eigen(&wr, nullptr, &vr), 5, 1137);
    EXPECT_TRUE(IsMarker(wr));
    EXPECT_TRUE(IsMarker(vr));
    EXPECT_TRUE(rec->events.empty());
    try {
        a->Eigen();
    } catch (const Error& e) {
        EXPECT_NE(e.Description().find("This operation is possible only for a square Matrix."), std::string::npos);
    }
    // Only the row count given: 3 x 1 is not square either.
    auto rowsOnly = Matrix::New();
    rowsOnly->SetRows(3);
    EXPECT_MATRIX_ERROR(rowsOnly->Eigen(), 5, 1137);
}

TEST(EigenValidation, ReceiverWithoutStorageRaisesSubscriptError) {
    auto a = Matrix::New();
    MatrixPtr wr = Marker();
    EXPECT_RUNTIME_ERROR(a->Eigen(&wr), RuntimeError::SubscriptOutOfRange);
    EXPECT_TRUE(IsMarker(wr));
}

// A 0 x 0 receiver (emptied through AsArray) is square with nothing to
// solve: the vectors become 0 x 0, Done follows, and a values output fails
// as AsArray fails for an empty column.
TEST(EigenValidation, EmptiedReceiverHasNoEigenvalues) {
    auto a = MakeMatrix({{1, 2}, {2, 1}});
    a->SetAsArray(DoubleArray::Create2D(-1, -1));
    auto rec = Record(a);
    MatrixPtr vr = Marker(), vi = Marker();
    a->Eigen(nullptr, nullptr, &vr, &vi);
    EXPECT_EQ(vr->Rows(), 0);
    EXPECT_EQ(vr->Cols(), 0);
    EXPECT_EQ(vi->Rows(), 0);
    EXPECT_EQ(vi->Cols(), 0);
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"Done", "Eigen", 0.0f}}));

    MatrixPtr wr = Marker();
    EXPECT_RUNTIME_ERROR(a->Eigen(&wr), RuntimeError::SubscriptOutOfRange);
    EXPECT_TRUE(IsMarker(wr));
}

TEST(EigenValidation, NonFiniteElementIsAnInvalidOperation) {
    for (double bad : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        for (bool symmetric : {true, false}) {
            auto a = MakeMatrix({{1, 2}, {symmetric ? 2.0 : 3.0, 1}});
            a->SetItem(1, 1, bad);
            auto rec = Record(a);
            MatrixPtr wr = Marker();
            EXPECT_EQ(RuntimeErrorDescription([&] { a->Eigen(&wr); }),
                      Expected(RuntimeError::Overflow, kInvalidOperationText));
            EXPECT_TRUE(IsMarker(wr));
            EXPECT_TRUE(rec->events.empty());
        }
    }
}

TEST(EigenOutputs, ShapesAndSkippedOutputs) {
    auto a = MakeMatrix(kNonSymmetric);
    MatrixPtr wr = Matrix::New(), vr = MakeMatrix({{9}});
    MatrixPtr empty;
    a->Eigen(&wr, &empty, &vr, nullptr);
    EXPECT_FALSE(empty);
    EXPECT_EQ(wr->Rows(), 3);
    EXPECT_EQ(wr->Cols(), 1);
    EXPECT_EQ(vr->Rows(), 3);
    EXPECT_EQ(vr->Cols(), 3);
    EXPECT_FALSE(wr->FireEvents());

    // With no outputs at all the events and Done still come.
    auto rec = Record(a);
    a->Eigen();
    ASSERT_FALSE(rec->events.empty());
    EXPECT_EQ(rec->events.back().kind, "Done");
    EXPECT_EQ(ToRows(*a), kNonSymmetric);
}

TEST(EigenOutputs, ReceiverAndRepeatedObjectsAsOutputs) {
    const auto expected = RunEigen(MakeMatrix(kNonSymmetric));

    // The receiver as RealValues: the computation used the copy taken at
    // the start, and the receiver ends as the N x 1 column of values.
    auto a = MakeMatrix(kNonSymmetric);
    a->Eigen(&a);
    EXPECT_EQ(Column(*a), expected.wr);
    EXPECT_EQ(a->Cols(), 1);

    // One object passed twice keeps the later write.
    auto b = MakeMatrix(kNonSymmetric);
    MatrixPtr same = Matrix::New();
    b->Eigen(&same, nullptr, &same);
    EXPECT_EQ(ToRows(*same), expected.vr);
    MatrixPtr twice = Matrix::New();
    b->Eigen(&twice, &twice);
    EXPECT_EQ(Column(*twice), expected.wi);

    // The receiver as RealVectors and another output as values.
    auto c = MakeMatrix(kNonSymmetric);
    MatrixPtr wi = Matrix::New();
    c->Eigen(nullptr, &wi, &c);
    EXPECT_EQ(ToRows(*c), expected.vr);
    EXPECT_EQ(Column(*wi), expected.wi);
}

TEST(EigenCancel, GeneralPathDeliversNothing) {
    // Cancel at the first event, at a middle one, and at the final 100.
    for (int cancelAt : {0, 4, -1}) {
        auto a = MakeMatrix(kNonSymmetric);
        auto rec = Record(a);
        size_t total = 0;
        {
            auto probe = MakeMatrix(kNonSymmetric);
            auto r = Record(probe);
            probe->Eigen();
            total = r->Percents().size();
        }
        const int at = cancelAt < 0 ? static_cast<int>(total) - 1 : cancelAt;
        rec->onProgress = [at](int index, bool& cancel) {
            if (index == at) cancel = true;
        };
        MatrixPtr wr = Marker(), wi = Marker(), vr = Marker(), vi = Marker();
        a->Eigen(&wr, &wi, &vr, &vi);
        EXPECT_EQ(rec->events.size(), static_cast<size_t>(at) + 1) << cancelAt;
        for (const auto& e : rec->events) EXPECT_EQ(e.kind, "OnProgress");
        EXPECT_TRUE(IsMarker(wr) && IsMarker(wi) && IsMarker(vr) && IsMarker(vi));
        if (cancelAt < 0) {
            EXPECT_EQ(rec->events.back().percent, 100.0f);
        }
    }
}

TEST(EigenCancel, SymmetricPathDeliversNothingEither) {
    // A cancelled run is not a finished one: no partial results reach the
    // outputs and no Done follows, in the reduction as in the QL stage.
    for (int cancelAt : {0, 2, 4, 6}) {
        auto a = MakeMatrix(kSymmetric);
        auto rec = Record(a);
        rec->onProgress = [cancelAt](int index, bool& cancel) {
            if (index == cancelAt) cancel = true;
        };
        MatrixPtr wr = Marker(), vr = Marker();
        a->Eigen(&wr, nullptr, &vr);
        EXPECT_EQ(rec->events.size(), static_cast<size_t>(cancelAt) + 1) << cancelAt;
        for (const auto& e : rec->events) EXPECT_EQ(e.kind, "OnProgress");
        EXPECT_TRUE(IsMarker(wr));
        EXPECT_TRUE(IsMarker(vr));
    }
}

TEST(EigenEvents, SwitchingEventsOffStopsFurtherEventsButNotTheWork) {
    for (const Rows& rows : {kSymmetric, kNonSymmetric}) {
        auto a = MakeMatrix(rows);
        auto rec = Record(a);
        rec->onProgress = [&a](int index, bool&) {
            if (index == 1) a->SetFireEvents(false);
        };
        MatrixPtr wr = Matrix::New();
        a->Eigen(&wr);
        EXPECT_EQ(rec->events.size(), 2u);
        EXPECT_EQ(Column(*wr), RunEigen(MakeMatrix(rows)).wr);
    }
}

TEST(EigenEvents, HandlerChangingTheReceiverDoesNotDisturbTheRun) {
    for (const Rows& rows : {kSymmetric, kNonSymmetric}) {
        const auto expected = RunEigen(MakeMatrix(rows));
        // Emptied, shrunk, enlarged and overwritten during the events.
        for (int mode = 0; mode < 4; ++mode) {
            auto a = MakeMatrix(rows);
            auto rec = Record(a);
            rec->onProgress = [&a, mode](int, bool&) {
                switch (mode) {
                    case 0: a->SetAsArray(DoubleArray::Create2D(-1, 2)); break;
                    case 1: a->Size(1, 1); break;
                    case 2: a->Size(7, 7); break;
                    default: a->SetItem(0, 0, 1e6); break;
                }
            };
            auto wr = Matrix::New(), wi = Matrix::New(), vr = Matrix::New(), vi = Matrix::New();
            a->Eigen(&wr, &wi, &vr, &vi);
            EXPECT_EQ(Column(*wr), expected.wr) << mode;
            EXPECT_EQ(ToRows(*vr), expected.vr) << mode;
            EXPECT_EQ(rec->events.back().kind, "Done");
        }
    }
}

TEST(EigenFallback, FailedQlRestartsOnTheGeneralPath) {
    detail::eigen::ScopedQlIterationLimit noIterations(0);
    auto a = MakeMatrix(kSymmetric);
    auto rec = Record(a);
    const auto r = RunEigen(a);
    // The general path's results: unsorted, vectors not normalized, but
    // the same eigenpairs.
    EXPECT_LT(WorstResidual(kSymmetric, r), 1e-15);
    EXPECT_TRUE(SameMultiset(Values(r), {11.576925, -0.485590, -4.091335}, 1e-6));
    EXPECT_EQ(r.wi, (std::vector<double>{0, 0, 0}));
    // The reduction's events (6.5, 13, 21.5, 30), no QL event, then the
    // general path from its beginning.
    const auto p = rec->Percents();
    ASSERT_GE(p.size(), 6u);
    EXPECT_EQ(std::vector<float>(p.begin(), p.begin() + 6), (std::vector<float>{6.5f, 13, 21.5f, 30, 1, 15}));
}

TEST(EigenFallback, GeneralPathRecopiesTheReceiver) {
    detail::eigen::ScopedQlIterationLimit noIterations(0);
    // Enlarged during the symmetric stage: the fresh copy is the top-left
    // block, which a handler has changed to the non-symmetric matrix.
    {
        auto a = MakeMatrix(kSymmetric);
        auto rec = Record(a);
        rec->onProgress = [&a](int index, bool&) {
            if (index != 0) return;
            a->Size(5, 5);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) a->SetItem(i, j, kNonSymmetric[i][j]);
        };
        const auto r = RunEigen(a);
        EXPECT_EQ(r.wr, RunEigen(MakeMatrix(kNonSymmetric)).wr);
    }
    // Shrunk: the general path cannot read N x N elements any more.
    {
        auto a = MakeMatrix(kSymmetric);
        auto rec = Record(a);
        rec->onProgress = [&a](int, bool&) { a->Size(2, 2); };
        MatrixPtr wr = Marker();
        EXPECT_RUNTIME_ERROR(a->Eigen(&wr), RuntimeError::SubscriptOutOfRange);
        EXPECT_TRUE(IsMarker(wr));
    }
}

TEST(EigenErrors, ExhaustedBudgetRaisesCodeSeventeen) {
    auto a = MakeMatrix(kStagnating);
    auto rec = Record(a);
    MatrixPtr wr = Marker(), vi = Marker();
    EXPECT_MATRIX_ERROR(a->Eigen(&wr, nullptr, nullptr, &vi), 17, 1137);
    try {
        a->Eigen();
    } catch (const Error& e) {
        EXPECT_NE(e.Description().find("An error occurred during Eigen."), std::string::npos);
    }
    EXPECT_TRUE(IsMarker(wr));
    EXPECT_TRUE(IsMarker(vi));
    for (const auto& e : rec->events) EXPECT_EQ(e.kind, "OnProgress");
    // The budget is 30 * N QR steps for the whole matrix: one iteration
    // event before each step and one more before the budget check fails.
    size_t iterationEvents = 0;
    for (float p : rec->Percents())
        if (p >= 20.0f && p <= 95.0f) ++iterationEvents;
    EXPECT_EQ(iterationEvents, 2u * (30u * 4u + 1u));
}

TEST(EigenErrors, ArithmeticFaultsPassThroughWithTheFirstFaultsKind) {
    const std::string overflow = Expected(RuntimeError::Overflow, RuntimeErrorText(RuntimeError::Overflow));
    // Symmetric: the first reflection's scale overflows; the later steps
    // also raise invalid operations, yet the first fault is the overflow.
    EXPECT_EQ(RuntimeErrorDescription([] {
                  MakeMatrix({{1, 1e308, 1e308}, {1e308, 1, 1e308}, {1e308, 1e308, 1}})->Eigen();
              }),
              overflow);
    // General: the product H(en, na) * H(na, en) overflows before the QR
    // step turns the infinity into NaN.
    EXPECT_EQ(RuntimeErrorDescription([] {
                  MakeMatrix({{1e200, 2e200, 0}, {-3e200, 1e200, 1e200}, {2e200, 1e200, -1e200}})->Eigen();
              }),
              overflow);
    // Subnormal sub-diagonal: the accumulation divides by it.
    EXPECT_EQ(RuntimeErrorDescription([] {
                  MakeMatrix({{1e-310, 2e-310, 3e-311}, {2e-312, 1e-310, 5e-311}, {1e-311, 3e-310, 2e-310}})
                      ->Eigen();
              }),
              overflow);
    // Symmetric, and the QL failure falls back to the general solver,
    // whose balancing then overflows: the runtime's error, not code 17.
    auto a = MakeMatrix({{0, 1e308}, {1e308, 0}});
    auto rec = Record(a);
    MatrixPtr wr = Marker();
    EXPECT_EQ(RuntimeErrorDescription([&] { a->Eigen(&wr); }), overflow);
    EXPECT_TRUE(IsMarker(wr));
    for (const auto& e : rec->events) EXPECT_EQ(e.kind, "OnProgress");
}

TEST(EigenErrors, FaultBeforeAnEventStopsTheRunBeforeThatEvent) {
    // The general example above faults in the QR iteration, after the
    // reduction and accumulation events; the iteration event that would
    // follow the faulting step is never raised.
    auto a = MakeMatrix({{1e200, 2e200, 0}, {-3e200, 1e200, 1e200}, {2e200, 1e200, -1e200}});
    auto rec = Record(a);
    EXPECT_RUNTIME_ERROR(a->Eigen(), RuntimeError::Overflow);
    const auto p = rec->Percents();
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.back(), 20.0f);
    EXPECT_EQ(std::count(p.begin(), p.end(), 20.0f), 1);
}

}  // namespace
}  // namespace kestrim::test
