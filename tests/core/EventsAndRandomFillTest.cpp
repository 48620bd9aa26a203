// The event mechanism and FillRandom, which is the core's event-raising member.
#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <set>

#include "core/MatrixAccess.h"
#include "host/runtime/Random.h"
#include "support/TestSupport.h"

using namespace kestrim;
using namespace kestrim::test;

namespace {
volatile double zero = 0.0;
}

TEST(FillRandom, RangesDecimalsAndRowOrder) {
    auto m = Matrix::New();
    m->Size(20, 20);
    m->FillRandom();
    std::set<double> seen;
    for (const auto& row : ToRows(*m))
        for (double x : row) {
            EXPECT_EQ(x, std::floor(x));
            EXPECT_TRUE(x >= 0 && x <= 10);
            seen.insert(x);
        }
    EXPECT_GT(seen.size(), 5u);
    m->FillRandom(5, 5);
    EXPECT_EQ(m->Item(19, 19), 5.0);

    random::ResetForTesting();
    m->Size(2, 3);
    m->FillRandom(-1, 1, 2);
    random::ResetForTesting();
    auto flat = Matrix::New();
    flat->Size(1, 6);
    flat->FillRandom(-1, 1, 2);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(m->Item(k / 3, k % 3), flat->Item(0, k));
        EXPECT_NEAR(flat->Item(0, k) * 100, std::round(flat->Item(0, k) * 100), 1e-9);
    }
}

TEST(FillRandom, EventsCancelAndFaultsLeaveTheReceiver) {
    auto m = MakeMatrix({{1, 2}, {3, 4}});
    auto rec = Record(m);
    m->FillRandom();
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "FillRandom", 50.0f},
                                                       {"OnProgress", "FillRandom", 100.0f},
                                                       {"Done", "FillRandom", 0.0f}}));
    const Rows before = ToRows(*m);
    rec->onProgress = [](int, bool& cancel) { cancel = true; };
    m->FillRandom(100, 200);
    EXPECT_EQ(ToRows(*m), before);
    for (bool events : {false, true}) {
        m->SetFireEvents(events);
        EXPECT_RUNTIME_ERROR(m->FillRandom(-DBL_MAX, DBL_MAX), RuntimeError::Overflow);
        EXPECT_RUNTIME_ERROR(m->FillRandom(0, 10, -1), RuntimeError::InvalidArgument);
        EXPECT_EQ(ToRows(*m), before);
    }
}

TEST(FillRandom, HandlerThatResizesTheReceiverCannotCauseOutOfBoundsWrites) {
    auto m = Matrix::New();
    m->Size(4, 4);
    auto rec = Record(m);
    rec->onProgress = [&](int, bool&) { m->Size(1, 1); };
    EXPECT_RUNTIME_ERROR(m->FillRandom(), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(m->Rows(), 1);
    // A widened receiver fails at its first new column, after that element's draw.
    random::ResetForTesting();
    m->Size(3, 2);
    rec->onProgress = [&](int, bool&) { m->SetCols(3); };
    EXPECT_RUNTIME_ERROR(m->FillRandom(0, 1000, 3), RuntimeError::SubscriptOutOfRange);
    m->SetFireEvents(false);
    m->Size(1, 1);
    m->FillRandom(0, 1000, 3);
    random::ResetForTesting();
    auto reference = Matrix::New();
    reference->Size(1, 6);
    reference->FillRandom(0, 1000, 3);
    EXPECT_EQ(m->Item(0, 0), reference->Item(0, 5));
}

TEST(Events, HandlersInOrderSharingCancelAndDisconnecting) {
    auto m = MakeMatrix({{1}, {2}, {3}});
    std::vector<std::string> calls;
    auto first = std::make_shared<EventRecorder>();
    auto second = std::make_shared<EventRecorder>();
    auto third = std::make_shared<EventRecorder>();
    m->Connect(first);
    m->Connect(second);
    const auto thirdCookie = m->Connect(third);
    first->onProgress = [&](int, bool& cancel) { calls.push_back("first"); cancel = true; };
    second->onProgress = [&](int, bool& cancel) {
        calls.push_back(cancel ? "second saw cancel" : "second");
        m->Disconnect(thirdCookie);
    };
    m->SetFireEvents(true);
    m->FillRandom();
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second saw cancel"}));
    EXPECT_TRUE(third->events.empty());  // disconnected before its turn
    EXPECT_EQ(detail::ProgressPercent(0, 3), 100.0 / 3);
    EXPECT_EQ(detail::ProgressPercent(2147483646, 2147483647), 100.0);  // no 32-bit wrap
}

TEST(Events, HandlerArithmeticAndRoundingStayWithTheCaller) {
    auto m = MakeMatrix({{1}, {2}});
    auto rec = Record(m);
    int seen = -1;
    rec->onProgress = [&](int, bool&) {
        seen = std::fegetround();
        volatile double r = 1.0 / zero;  // the handler's own business
        (void)r;
    };
    std::fesetround(FE_TOWARDZERO);
    EXPECT_NO_THROW(m->FillRandom(3, 3));
    const int after = std::fegetround();
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
    EXPECT_EQ(seen, FE_TOWARDZERO);
    EXPECT_EQ(after, FE_TOWARDZERO);
    EXPECT_EQ(ToRows(*m), (Rows{{3}, {3}}));
}

TEST(Events, ReleasingOrThrowingDuringAnEventIsSafe) {
    auto m = MakeMatrix({{1}, {2}, {3}});
    auto rec = Record(m);
    Matrix* raw = m.get();
    rec->onProgress = [&](int, bool&) { m.reset(); };
    EXPECT_NO_THROW(raw->FillRandom());
    EXPECT_EQ(rec->events.back().kind, "Done");

    auto n = MakeMatrix({{1}, {2}});
    auto thrower = Record(n);
    thrower->onProgress = [](int, bool&) { throw std::runtime_error("handler failed"); };
    EXPECT_THROW(n->FillRandom(7, 7), std::runtime_error);
    EXPECT_EQ(ToRows(*n), (Rows{{1}, {2}}));
}

// A fault still pending when an event is due stops the operation before
// any handler runs: the handlers never see a result that a per-step test
// would have refused. Each kind, and several at once.
TEST(Events, PendingFaultsStopBeforeTheHandlers) {
    const std::pair<int, RuntimeError> cases[] = {
        {FE_OVERFLOW, RuntimeError::Overflow},
        {FE_DIVBYZERO, RuntimeError::DivisionByZero},
        {FE_INVALID | FE_OVERFLOW, RuntimeError::Overflow},
        {FE_DIVBYZERO | FE_INVALID, RuntimeError::DivisionByZero},
    };
    for (const auto& [flags, error] : cases)
        for (const bool done : {false, true}) {
            auto m = MakeMatrix({{1}});
            auto rec = Record(m);
            fp::FpScope scope;
            std::feraiseexcept(flags);
            bool cancel = false;
            EXPECT_RUNTIME_ERROR(done ? detail::MatrixAccess::RaiseDone(*m, "X")
                                      : (void)detail::MatrixAccess::RaiseOnProgress(*m, "X", 50.0, cancel),
                                 error);
            EXPECT_TRUE(rec->events.empty()) << flags << done;
            EXPECT_FALSE(fp::HasFault());
        }
}
