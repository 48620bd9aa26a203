// Plus, PlusEquals, Minus, MinusEquals, TimesScalar and Transpose.
#include "ops/OpsTestUtil.h"

namespace kestrim::test {
namespace {

TEST(Elementwise, MatchTheElementLoopWithEventsOffAndOn) {
    const Rows a = RandomRows(67, 45, 1), b = RandomRows(67, 45, 2);
    Rows sum = a, diff = a, scaled = a, t(45, std::vector<double>(67));
    for (int32_t i = 0; i < 67; ++i)
        for (int32_t j = 0; j < 45; ++j)
            sum[i][j] += b[i][j], diff[i][j] -= b[i][j], scaled[i][j] *= -0.3, t[j][i] = a[i][j];
    for (bool events : {false, true}) {
        auto ma = MakeMatrix(a), mb = MakeMatrix(b), inplus = MakeMatrix(a), inminus = MakeMatrix(a);
        for (auto& m : {ma, inplus, inminus}) m->SetFireEvents(events);
        inplus->PlusEquals(mb);
        inminus->MinusEquals(mb);
        for (const auto& [got, want] : {std::pair{ma->Plus(mb), sum}, {ma->Minus(mb), diff}, {inplus, sum},
                                        {inminus, diff}, {ma->TimesScalar(-0.3), scaled}, {ma->Transpose(), t}, {ma, a}})
            EXPECT_EQ(BitDifferences(ToRows(*got), want), 0) << events;
        inplus->MinusEquals(inplus);  // the receiver as its own argument
        EXPECT_EQ(BitDifferences(ToRows(*inplus), Rows(67, std::vector<double>(45))), 0);
    }
}

TEST(Elementwise, ErrorsLeaveTheReceiverAndRaiseNoEvents) {
    auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    auto rec = Record(a);
    auto b = MakeMatrix({{1, 2}, {3, 4}, {5, 6}});
    EXPECT_MATRIX_ERROR(a->Plus(MakeMatrix({{1, 2}, {3, 4}})), 12, 1110);  // same rows, other columns
    EXPECT_MATRIX_ERROR(a->PlusEquals(b), 12, 1111);
    EXPECT_MATRIX_ERROR(a->Minus(b), 12, 1112);
    EXPECT_MATRIX_ERROR(a->MinusEquals(b), 12, 1113);
    EXPECT_RUNTIME_ERROR(a->Plus(nullptr), RuntimeError::MissingObject);
    EXPECT_RUNTIME_ERROR(a->MinusEquals(nullptr), RuntimeError::MissingObject);
    EXPECT_RUNTIME_ERROR(MakeMatrix({{1}})->Plus(Matrix::New()), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(Matrix::New()->TimesScalar(2), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(ToRows(*a), (Rows{{1, 2, 3}, {4, 5, 6}}));
    EXPECT_TRUE(rec->events.empty());
}

// Whether the named operation produced a result.
bool RunOp(const std::string& op, const MatrixPtr& a, const MatrixPtr& b) {
    if (op == "PlusEquals") a->PlusEquals(b);
    if (op == "MinusEquals") a->MinusEquals(b);
    return op == "Plus" ? !!a->Plus(b) : op == "Minus" ? !!a->Minus(b) : op == "TimesScalar" ? !!a->TimesScalar(2)
                                                      : op == "Transpose"   ? !!a->Transpose() : false;
}
const char* const kOps[] = {"Plus", "Minus", "PlusEquals", "MinusEquals", "TimesScalar", "Transpose"};

TEST(Elementwise, EventsFollowTheRowsAndCancelStops) {
    for (const std::string op : kOps) {
        auto a = MakeMatrix({{1, 2}, {3, 4}, {5, 6}}), b = MakeMatrix({{1, 1}, {1, 1}, {1, 1}});
        auto rec = Record(a);
        RunOp(op, a, b);
        EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", op, static_cast<float>(100.0 / 3.0)},
                                                           {"OnProgress", op, static_cast<float>(200.0 / 3.0)},
                                                           {"OnProgress", op, 100}, {"Done", op, 0}}));
        const Rows before = ToRows(*a);
        rec->onProgress = [](int, bool& cancel) { cancel = true; };
        EXPECT_FALSE(RunOp(op, a, b));
        EXPECT_EQ(rec->events.size(), 5u) << op;
        EXPECT_EQ(ToRows(*a), before) << op;
    }
}

TEST(Elementwise, FaultIsTheFirstInRowOrder) {
    // Faults at (0, 2) and (1, 0): a walk in storage order would find the wrong one.
    for (bool events : {false, true}) {
        auto a = MakeMatrix({{1, 2, kMax}, {kInf, 5, 6}}), c = MakeMatrix({{1, 2, kInf}, {kMax, 5, 6}});
        auto s = MakeMatrix({{1, kSNaN}, {kMax, 1}});
        for (auto& m : {a, c, s}) m->SetFireEvents(events);
        EXPECT_EQ(FaultOf([&] { a->Plus(MakeMatrix({{1, 1, kMax}, {-kInf, 1, 1}})); }), "overflow");
        EXPECT_EQ(FaultOf([&] { c->Plus(MakeMatrix({{1, 1, -kInf}, {kMax, 1, 1}})); }), "invalid");
        EXPECT_EQ(FaultOf([&] { a->TimesScalar(2); }), "overflow");
        EXPECT_EQ(FaultOf([&] { s->TimesScalar(2); }), "invalid");
    }
    const Rows a0 = {{1, 2, kMax, 4}, {kInf, 6, 7, 8}}, b0 = {{1, 1, -kMax, 1}, {kInf, 1, 1, 1}};
    // A sum in place leaves the receiver alone on a fault, events on or off.
    for (bool events : {false, true}) {
        auto a = MakeMatrix(a0);
        a->SetFireEvents(events);
        EXPECT_EQ(FaultOf([&] { a->PlusEquals(MakeMatrix({{1, 1, kMax, 1}, {1, 1, 1, 1}})); }), "overflow");
        EXPECT_EQ(ToRows(*a), a0) << events;
    }
    // In place with events off the elements up to the faulting one are written; with events on, none.
    for (bool events : {false, true}) {
        auto a = MakeMatrix(a0);
        a->SetFireEvents(events);
        EXPECT_EQ(FaultOf([&] { a->MinusEquals(MakeMatrix(b0)); }), "overflow");
        EXPECT_EQ(ToRows(*a), (events ? a0 : Rows{{0, 1, kInf, 4}, {kInf, 6, 7, 8}}));
    }
}

// A handler that resizes the receiver: more columns, fewer rows or no rows
// raise the subscript error at once; fewer columns, fewer of both or a row
// count that clears may also let the operation finish within the storage
// that exists. The receiver keeps the handler's dimensions and, unless the
// operation works in place, its contents.
TEST(Elementwise, HandlerResizingTheReceiver) {
    auto arg = MakeMatrix({{10, 20, 30}, {40, 50, 60}, {70, 80, 90}});
    const std::tuple<void (*)(Matrix&), int, int, bool> resizes[] = {
        {[](Matrix& m) { m.SetCols(5); }, 3, 5, true},
        {[](Matrix& m) { m.Size(1, 3); }, 1, 3, true},
        {[](Matrix& m) { m.SetAsArray(DoubleArray::Create2D(-1, 2)); }, 0, 3, true},
        {[](Matrix& m) { m.SetCols(2); }, 3, 2, false},
        {[](Matrix& m) { m.Size(2, 2); }, 2, 2, false},
        {[](Matrix& m) { m.SetRows(2); }, 2, 3, false},
        {[](Matrix& m) { m.SetAsArray(DoubleArray::Create2D(2, -1)); }, 3, 0, false}};
    for (const auto& [resize, rows, cols, raises] : resizes)
        for (const std::string op : kOps) {
            auto m = MakeMatrix({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
            Rows after;
            auto r = Record(m);
            r->onProgress = [&, resize = resize](int index, bool&) {
                if (index != 0) return;
                resize(*m);
                after = ToRows(*m);
            };
            bool raised = false;
            try {
                RunOp(op, m, arg);
            } catch (const Error& e) {
                raised = true;
                EXPECT_EQ(e.Number(), static_cast<int32_t>(RuntimeError::SubscriptOutOfRange)) << op;
            }
            EXPECT_TRUE(!raises || (raised && r->events.size() == 1u)) << op << " " << rows << "x" << cols;
            EXPECT_EQ(m->Rows(), rows) << op;
            EXPECT_EQ(m->Cols(), cols) << op;
            // Only the in-place operations may store a result that fits.
            const bool inPlace = op == "PlusEquals" || op == "MinusEquals";
            EXPECT_TRUE(inPlace || ToRows(*m) == after) << op;
        }
}

// Done follows the last row: an in-place operation has stored its result
// by then, one that returns a new object has not touched the receiver.
TEST(Elementwise, WhatADoneHandlerObserves) {
    const Rows a0{{1, 2}, {3, 4}}, b0{{10, 20}, {30, 40}};
    const std::pair<std::string, Rows> cases[] = {
        {"Plus", a0}, {"Minus", a0}, {"TimesScalar", a0}, {"Transpose", a0},
        {"PlusEquals", {{11, 22}, {33, 44}}}, {"MinusEquals", {{-9, -18}, {-27, -36}}}};
    for (const auto& [op, seen] : cases) {
        auto a = MakeMatrix(a0);
        auto rec = Record(a);
        Rows observed;
        rec->onDone = [&] { observed = ToRows(*a); };
        RunOp(op, a, MakeMatrix(b0));
        EXPECT_EQ(observed, seen) << op;
    }
}

}  // namespace
}  // namespace kestrim::test
