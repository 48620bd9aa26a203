// Eigen's errors, outputs, cancellation, changing handlers and fall-back.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "EigenTestUtil.h"
#include "eigen/EigenInternal.h"

namespace kestrim::test {
namespace {

const Rows kGeneral{{4, 1, -2}, {1, 2, 0}, {-2, 3, 3}};
const Rows kSymmetric{{4, 5, 5}, {5, 4, 3}, {5, 3, -1}};

MatrixPtr Marker() { return MakeMatrix({{42, 43}}); }
bool IsMarker(const MatrixPtr& m) { return m->Rows() == 1 && m->Cols() == 2 && m->Item(0, 1) == 43; }
bool OnlyProgress(const EventRecorder& rec) {
    return std::all_of(rec.events.begin(), rec.events.end(), [](const auto& e) { return e.kind == "OnProgress"; });
}

// "number:description" of an error.
std::string Text(int32_t number, const std::string& description) { return std::to_string(number) + ":" + description; }

TEST(EigenErrors, FailuresDeliverNothing) {
    const auto overflow = Text(int32_t(RuntimeError::Overflow), RuntimeErrorText(RuntimeError::Overflow));
    const auto invalid = Text(int32_t(RuntimeError::Overflow), kInvalidOperationText);
    const auto subscript = Text(int32_t(RuntimeError::SubscriptOutOfRange), RuntimeErrorText(RuntimeError::SubscriptOutOfRange));
    const auto notSquare = Text(MatrixErrorNumber(5), "This operation is possible only for a square Matrix.");
    auto rowsOnly = Matrix::New();
    rowsOnly->SetRows(3);
    auto emptied = MakeMatrix({{1, 2}, {2, 1}});
    emptied->SetAsArray(DoubleArray::Create2D(-1, -1));
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::pair<MatrixPtr, std::string>> cases{
        {MakeMatrix({{1, 2, 3}, {4, 5, 6}}), notSquare},
        {rowsOnly, notSquare},
        {Matrix::New(), subscript},
        {emptied, subscript},  // 0 x 0: no eigenvalues to write into a column
        {MakeMatrix({{1, 2}, {2, inf}}), invalid},
        {MakeMatrix({{1, 2}, {3, nan}}), invalid},
        // Jordan blocks of x^2 - x - 4: the QR budget runs out.
        {MakeMatrix({{-1, 0, 0, 2}, {0, -1, 1, 0}, {1, 0, 2, 0}, {2, -2, 0, 2}}), Text(MatrixErrorNumber(17), "An error occurred during Eigen.")},
        // The first reflection's scale overflows before anything turns NaN.
        {MakeMatrix({{1, 1e308, 1e308}, {1e308, 1, 1e308}, {1e308, 1e308, 1}}), overflow},
        // H(en, na) * H(na, en) overflows before the QR step makes a NaN.
        {MakeMatrix({{1e200, 2e200, 0}, {-3e200, 1e200, 1e200}, {2e200, 1e200, -1e200}}), overflow},
        // A subnormal sub-diagonal that the accumulation divides by.
        {MakeMatrix({{1e-310, 2e-310, 3e-311}, {2e-312, 1e-310, 5e-311}, {1e-311, 3e-310, 2e-310}}), overflow},
        // The QL failure falls back to the general solver, whose balancing
        // overflows: the runtime's error, not code 17.
        {MakeMatrix({{0, 1e308}, {1e308, 0}}), overflow},
    };
    for (const auto& [a, want] : cases) {
        auto rec = Record(a);
        MatrixPtr wr = Marker(), vi = Marker();
        std::string got = "no error";
        try {
            a->Eigen(&wr, nullptr, nullptr, &vi);
        } catch (const Error& e) {
            got = Text(e.Number(), e.Description());
        }
        const auto colon = want.find(':') + 1;
        EXPECT_EQ(got.substr(0, colon), want.substr(0, colon)) << got;
        EXPECT_NE(got.find(want.substr(colon)), std::string::npos) << got;
        EXPECT_TRUE(IsMarker(wr) && IsMarker(vi)) << want;
        EXPECT_TRUE(OnlyProgress(*rec)) << want;
    }
    EXPECT_MATRIX_ERROR(MakeMatrix({{1, 2}})->Eigen(), 5, 1137);

    // The budget is 30 * N QR steps: an event before each step and one more
    // before the failing check.
    auto rec = Record(cases[6].first);
    EXPECT_MATRIX_ERROR(cases[6].first->Eigen(), 17, 1137);
    auto p = rec->Percents();
    EXPECT_EQ(std::count_if(p.begin(), p.end(), [](float x) { return x >= 20 && x <= 95; }), 30 * 4 + 1);
    // A fault stops the run before the next event: one iteration event.
    rec = Record(cases[8].first);
    EXPECT_RUNTIME_ERROR(cases[8].first->Eigen(), RuntimeError::Overflow);
    p = rec->Percents();
    EXPECT_EQ(std::count(p.begin(), p.end(), 20.0f), 1);
    EXPECT_TRUE(!p.empty() && p.back() == 20.0f);
}

// A 1 x 1 matrix is its own eigenvalue, whatever it holds: no arithmetic
// runs, so infinities, NaN and signed zeros come back as they are; from
// order 2 up a non-finite element is refused before any iteration.
TEST(EigenOutputs, OneByOneIsDeliveredAsItIs) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    for (const double x : {inf, -inf, nan, -0.0, 1e308, 5e-324}) {
        auto a = MakeMatrix({{x}});
        auto rec = Record(a);
        MatrixPtr wr = Matrix::New(), wi = Matrix::New(), vr = Matrix::New(), vi = Matrix::New();
        a->Eigen(&wr, &wi, &vr, &vi);
        ASSERT_TRUE(wr->Rows() == 1 && wr->Cols() == 1) << x;
        EXPECT_TRUE(SameBits(wr->Item(0, 0), x)) << x;
        EXPECT_TRUE(SameBits(wi->Item(0, 0), 0.0) && vr->Item(0, 0) == 1.0 && SameBits(vi->Item(0, 0), 0.0)) << x;
        EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"Done", "Eigen", 0.0f}})) << x;
        EXPECT_TRUE(SameBits(a->Item(0, 0), x));
    }
    EXPECT_RUNTIME_ERROR(MakeMatrix({{inf, 0}, {0, 1}})->Eigen(), RuntimeError::Overflow);
    EXPECT_RUNTIME_ERROR(MakeMatrix({{1, 0}, {nan, 1}})->Eigen(), RuntimeError::Overflow);
}

// Equal eigenvalues keep the order the iteration left them in (only a
// strictly larger value moves), and the vectors follow; exact zeros make no
// reflection, tiny values do. The events-on run gives the same bits.
TEST(EigenOutputs, TiesAndZerosOnTheSymmetricPath) {
    const std::tuple<Rows, std::vector<double>, Rows> cases[] = {
        {{{1, 0, 0}, {0, 3, 0}, {0, 0, 3}}, {3, 3, 1}, {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}}},
        {{{3, 0, 0}, {0, 1, 0}, {0, 0, 3}}, {3, 3, 1}, {{1, 0, 0}, {0, 0, 1}, {0, 1, 0}}},
        {{{2, 0}, {0, 2}}, {2, 2}, {{1, 0}, {0, 1}}},
        {{{0, 0}, {0, 0}}, {0, 0}, {{1, 0}, {0, 1}}},
        // Tiny but nonzero off-diagonal rows are still reflected: the
        // reflections give the vectors their signs.
        {{{1, 1e-302, 1e-302}, {1e-302, 2, 0}, {1e-302, 0, 3}}, {3, 2, 1}, {{0, 0, -1}, {0, -1, 0}, {1, 0, 0}}},
    };
    for (const auto& [a, values, vectors] : cases)
        for (const bool events : {false, true}) {
            auto m = MakeMatrix(a);
            if (events) Record(m);
            MatrixPtr wr = Matrix::New(), vr = Matrix::New();
            m->Eigen(&wr, nullptr, &vr);
            EXPECT_EQ(Column(*wr), values) << events;
            EXPECT_EQ(ToRows(*vr), vectors) << events;
        }
}

// A 2 x 2 block whose discriminant is exactly zero (a double eigenvalue)
// is a real pair: imaginary parts +0, real vectors.
TEST(EigenOutputs, ExactlyZeroDiscriminantIsARealPair) {
    const double r = 0x1.6a09e667f3bccp-1;
    for (const bool events : {false, true}) {
        auto a = MakeMatrix({{2, 1}, {-1, 0}});
        if (events) Record(a);
        const auto got = RunEigen(a);
        EXPECT_EQ(got.wr, (std::vector<double>{1, 1}));
        EXPECT_TRUE(SameBits(got.wi[0], 0.0) && SameBits(got.wi[1], 0.0)) << got.wi[0] << " " << got.wi[1];
        EXPECT_EQ(got.vr, (Rows{{r, r}, {-r, -r}}));
        EXPECT_EQ(got.vi, (Rows{{0, 0}, {0, 0}}));
    }
}

TEST(EigenOutputs, SkippedOutputsAndAliases) {
    const auto want = RunEigen(MakeMatrix(kGeneral));
    auto a = MakeMatrix(kGeneral);
    MatrixPtr none;
    a->Eigen(&a, &none);  // the receiver as RealValues: computed from a copy
    EXPECT_FALSE(none);
    EXPECT_EQ(Column(*a), want.wr);
    auto b = MakeMatrix(kGeneral);
    MatrixPtr same = Matrix::New(), wi = Matrix::New();
    b->Eigen(&same, nullptr, &same);  // one object twice keeps the later write
    EXPECT_EQ(ToRows(*same), want.vr);
    b->Eigen(nullptr, &wi, &b);
    EXPECT_EQ(ToRows(*b), want.vr);
    EXPECT_EQ(Column(*wi), want.wi);
}

TEST(EigenEvents, CancelHandlerChangesAndSwitchingOff) {
    // General path: cancelling at any event, the final 100 included,
    // delivers nothing.
    for (int at : {0, 3, 6}) {
        auto a = MakeMatrix(kGeneral);
        auto rec = Record(a);
        rec->onProgress = [at](int i, bool& cancel) { cancel = i == at; };
        MatrixPtr wr = Marker(), vr = Marker();
        a->Eigen(&wr, nullptr, &vr);
        EXPECT_EQ(rec->events.size(), at + 1u);
        EXPECT_TRUE(OnlyProgress(*rec) && IsMarker(wr) && IsMarker(vr));
    }
    for (const Rows& rows : {kSymmetric, kGeneral}) {
        const auto want = RunEigen(MakeMatrix(rows));
        // Emptying, shrinking, enlarging or overwriting the receiver inside
        // an event does not disturb the run; switching events off stops them.
        for (int mode = 0; mode < 5; ++mode) {
            auto a = MakeMatrix(rows);
            auto rec = Record(a);
            rec->onProgress = [&a, mode](int i, bool&) {
                if (mode == 0) a->SetAsArray(DoubleArray::Create2D(-1, 2));
                if (mode == 1) a->Size(1, 1);
                if (mode == 2) a->Size(7, 7);
                if (mode == 3) a->SetItem(0, 0, 1e6);
                if (mode == 4 && i == 1) a->SetFireEvents(false);
            };
            const auto r = RunEigen(a);
            EXPECT_EQ(r.wr, want.wr) << mode;
            EXPECT_EQ(r.vr, want.vr) << mode;
            EXPECT_EQ(rec->events.back().kind, mode == 4 ? "OnProgress" : "Done");
            if (mode == 4) { EXPECT_EQ(rec->events.size(), 2u); }
        }
    }
}

// Symmetric path: the driver does not stop. A cancel in the reduction
// (events 0-3 of a 3 x 3) lets QL raise its first event with the flag still
// set and stop there, unless the handler clears it; a cancel in QL skips
// the remaining eigenvalues and the sort. What was computed is delivered,
// then Done.
TEST(EigenEvents, SymmetricCancelDeliversWhatWasComputed) {
    const auto want = RunEigen(MakeMatrix(kSymmetric));
    const float firstQl = static_cast<float>(1.0 / 3.0 * 70.0 + 30.0);
    for (int at = 0; at <= 6; ++at) {
        for (bool clearInQl : {false, true}) {
            SCOPED_TRACE(testing::Message() << "cancel at " << at << (clearInQl ? ", cleared" : ""));
            auto a = MakeMatrix(kSymmetric);
            auto rec = Record(a);
            std::vector<bool> setOnEntry;
            rec->onProgress = [&](int i, bool& cancel) {
                setOnEntry.push_back(cancel);
                if (i == at) cancel = true;
                if (i == at + 1 && clearInQl) cancel = false;
            };
            const auto got = RunEigen(a);
            ASSERT_EQ(rec->events.back().kind, "Done");
            EXPECT_EQ(got.wi, (std::vector<double>{0, 0, 0}));
            const auto p = rec->Percents();
            if (at <= 3) {
                ASSERT_EQ(p.size(), clearInQl ? at + 4u : at + 2u);
                EXPECT_EQ(p[at + 1], firstQl);
                EXPECT_TRUE(setOnEntry[at + 1]);
            } else {
                EXPECT_EQ(p.size(), at + 1u);
            }
            if (at == 6) {
                // Every eigenvalue was found; only the sort is missing.
                auto sorted = got.wr;
                std::sort(sorted.begin(), sorted.end(), std::greater<>());
                EXPECT_EQ(sorted, want.wr);
            }
        }
    }
}

TEST(EigenFallback, FailedQlRestartsOnTheGeneralPath) {
    detail::eigen::ScopedQlIterationLimit noIterations(0);
    auto a = MakeMatrix(kSymmetric);
    auto rec = Record(a);
    const auto r = RunEigen(a);
    EXPECT_LT(WorstResidual(kSymmetric, r), 1e-15);
    EXPECT_EQ(r.wi, (std::vector<double>{0, 0, 0}));
    // The reduction's events, no QL event, then the general path afresh.
    const auto p = rec->Percents();
    ASSERT_GE(p.size(), 6u);
    EXPECT_EQ(std::vector<float>(p.begin(), p.begin() + 6), (std::vector<float>{6.5f, 13, 21.5f, 30, 1, 15}));

    // The general path re-reads the receiver, which a handler has shrunk.
    auto c = MakeMatrix(kSymmetric);
    rec = Record(c);
    rec->onProgress = [&c](int, bool&) { c->Size(2, 2); };
    MatrixPtr wr = Marker();
    EXPECT_RUNTIME_ERROR(c->Eigen(&wr), RuntimeError::SubscriptOutOfRange);
    EXPECT_TRUE(IsMarker(wr));
}

}  // namespace
}  // namespace kestrim::test
