// The event mechanism: handler order, disconnection during an event,
// floating-point isolation of handlers, and object lifetime.
#include <gtest/gtest.h>

#include <cfenv>

#include "core/MatrixAccess.h"
#include "support/TestSupport.h"

using namespace kestrim;
using namespace kestrim::test;

namespace {
volatile double zero = 0.0;
}

TEST(Events, HandlersRunInConnectionOrderAndShareCancel) {
    auto m = MakeMatrix({{1}, {2}, {3}});
    std::vector<std::string> calls;
    auto first = std::make_shared<EventRecorder>();
    auto second = std::make_shared<EventRecorder>();
    first->onProgress = [&](int, bool& cancel) { calls.push_back("first"); cancel = true; };
    second->onProgress = [&](int, bool& cancel) {
        calls.push_back(cancel ? "second saw cancel" : "second");
    };
    m->Connect(first);
    m->Connect(second);
    m->SetFireEvents(true);
    m->FillRandom();
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second saw cancel"}));
}

TEST(Events, ThreeRowPercentages) {
    auto m = MakeMatrix({{1}, {2}, {3}});
    auto rec = Record(m);
    m->FillRandom();
    EXPECT_EQ(rec->Percents(), (std::vector<float>{static_cast<float>(100.0 / 3),
                                                   static_cast<float>(200.0 / 3), 100.0f}));
}

TEST(Events, PercentOfVeryTallMatricesDoesNotWrap) {
    // (i + 1) * 100 passes the Long range from zero-based row 21474836 on;
    // the percentage stays exact instead of failing or wrapping.
    EXPECT_EQ(detail::ProgressPercent(21474835, 21474836), 100.0);
    EXPECT_EQ(detail::ProgressPercent(21474836, 42949672), 2147483700.0 / 42949672.0);
    EXPECT_EQ(detail::ProgressPercent(2147483646, 2147483647), 100.0);
}

TEST(Events, HandlerMayDisconnectItselfOrOthers) {
    auto m = MakeMatrix({{1}, {2}});
    auto a = std::make_shared<EventRecorder>();
    auto b = std::make_shared<EventRecorder>();
    Matrix::Cookie cookieA = m->Connect(a);
    Matrix::Cookie cookieB = m->Connect(b);
    a->onProgress = [&](int, bool&) {
        m->Disconnect(cookieA);
        m->Disconnect(cookieB);
    };
    m->SetFireEvents(true);
    m->FillRandom();
    EXPECT_EQ(a->events.size(), 1u);
    EXPECT_TRUE(b->events.empty());  // disconnected before its turn
}

TEST(Events, NoHandlerMeansNothingHappens) {
    auto m = MakeMatrix({{1}, {2}});
    m->SetFireEvents(true);
    EXPECT_NO_THROW(m->FillRandom(1, 1));
    EXPECT_EQ(m->Item(1, 0), 1.0);
}

TEST(Events, HandlerArithmeticDoesNotFaultTheOperation) {
    auto m = MakeMatrix({{1}, {2}});
    auto rec = Record(m);
    rec->onProgress = [](int, bool&) {
        volatile double r = 1.0 / zero;  // the handler's own business
        (void)r;
    };
    EXPECT_NO_THROW(m->FillRandom(3, 3));
    EXPECT_EQ(ToRows(*m), (Rows{{3}, {3}}));
    std::feclearexcept(FE_ALL_EXCEPT);
}

TEST(Events, HandlerSeesCallersRoundingAndCallerGetsItBack) {
    auto m = MakeMatrix({{1}});
    auto rec = Record(m);
    int seen = -1;
    rec->onProgress = [&](int, bool&) { seen = std::fegetround(); };
    std::fesetround(FE_TOWARDZERO);
    m->FillRandom();
    const int after = std::fegetround();
    std::fesetround(FE_TONEAREST);
    EXPECT_EQ(seen, FE_TOWARDZERO);
    EXPECT_EQ(after, FE_TOWARDZERO);
}

TEST(Events, ReleasingTheLastReferenceDuringAnEventIsSafe) {
    auto m = MakeMatrix({{1}, {2}, {3}});
    auto rec = Record(m);
    Matrix* raw = m.get();
    rec->onProgress = [&](int, bool&) { m.reset(); };
    EXPECT_NO_THROW(raw->FillRandom());
    EXPECT_EQ(rec->events.back().kind, "Done");
}

TEST(Events, HandlerExceptionReachesTheCallerAndLeavesReceiver) {
    auto m = MakeMatrix({{1}, {2}});
    auto rec = Record(m);
    rec->onProgress = [](int, bool&) { throw std::runtime_error("handler failed"); };
    EXPECT_THROW(m->FillRandom(7, 7), std::runtime_error);
    EXPECT_EQ(ToRows(*m), (Rows{{1}, {2}}));
}
