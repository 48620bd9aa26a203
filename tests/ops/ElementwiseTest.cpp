// Plus, PlusEquals, Minus, MinusEquals, TimesScalar and Transpose.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ops/OpsTestUtil.h"

namespace kestrim::test {
namespace {

Rows Elementwise(const Rows& a, const Rows& b, const std::function<double(double, double)>& f) {
    Rows out = a;
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < a[i].size(); ++j) out[i][j] = f(a[i][j], b[i][j]);
    return out;
}

const Rows kA = {{1.5, -2, 3e10}, {4, 0.1, -6}};
const Rows kB = {{0.25, 7, -3e10}, {1e-3, 0.2, 6}};

TEST(Elementwise, SumsAndDifferences) {
    const Rows sum = Elementwise(kA, kB, [](double x, double y) { return x + y; });
    const Rows diff = Elementwise(kA, kB, [](double x, double y) { return x - y; });
    auto a = MakeMatrix(kA);
    auto b = MakeMatrix(kB);
    for (bool events : {false, true}) {
        SCOPED_TRACE(events ? "events on" : "events off");
        a->SetFireEvents(events);
        MatrixPtr c = a->Plus(b);
        ASSERT_TRUE(c);
        EXPECT_EQ(ToRows(*c), sum);
        c = a->Minus(b);
        ASSERT_TRUE(c);
        EXPECT_EQ(ToRows(*c), diff);
        EXPECT_FALSE(c->FireEvents());
        EXPECT_EQ(ToRows(*a), kA);
        EXPECT_EQ(ToRows(*b), kB);

        auto x = MakeMatrix(kA);
        x->SetFireEvents(events);
        x->PlusEquals(b);
        EXPECT_EQ(ToRows(*x), sum);
        x = MakeMatrix(kA);
        x->SetFireEvents(events);
        x->MinusEquals(b);
        EXPECT_EQ(ToRows(*x), diff);
        EXPECT_EQ(x->FireEvents(), events);
    }
    // Minus is receiver minus argument.
    EXPECT_EQ(MakeMatrix({{5}})->Minus(MakeMatrix({{3}}))->Item(0, 0), 2.0);
}

TEST(Elementwise, LargeMatricesMatchTheElementLoop) {
    const Dense a = RandomDense(67, 45, 1), b = RandomDense(67, 45, 2);
    auto ma = ToMatrix(a), mb = ToMatrix(b);
    const Dense sum = FromMatrix(*ma->Plus(mb));
    const Dense diff = FromMatrix(*ma->Minus(mb));
    const Dense scaled = FromMatrix(*ma->TimesScalar(-0.3));
    const Dense t = FromMatrix(*ma->Transpose());
    ASSERT_EQ(t.rows, 45);
    ASSERT_EQ(t.cols, 67);
    for (int32_t i = 0; i < 67; ++i)
        for (int32_t j = 0; j < 45; ++j) {
            ASSERT_TRUE(SameBits(sum(i, j), a(i, j) + b(i, j)));
            ASSERT_TRUE(SameBits(diff(i, j), a(i, j) - b(i, j)));
            ASSERT_TRUE(SameBits(scaled(i, j), a(i, j) * -0.3));
            ASSERT_TRUE(SameBits(t(j, i), a(i, j)));
        }
    ma->MinusEquals(mb);
    EXPECT_EQ(CountBitDifferences(FromMatrix(*ma), diff), 0);
}

TEST(Elementwise, SizeMismatchRaisesWithTheMemberTopic) {
    auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    auto b = MakeMatrix({{1, 2}, {3, 4}, {5, 6}});
    auto rec = Record(a);
    EXPECT_MATRIX_ERROR(a->Plus(b), 12, 1110);
    EXPECT_MATRIX_ERROR(a->PlusEquals(b), 12, 1111);
    EXPECT_MATRIX_ERROR(a->Minus(b), 12, 1112);
    EXPECT_MATRIX_ERROR(a->MinusEquals(b), 12, 1113);
    EXPECT_EQ(ToRows(*a), (Rows{{1, 2, 3}, {4, 5, 6}}));
    EXPECT_TRUE(rec->events.empty());
    // Same row count, different column count.
    EXPECT_MATRIX_ERROR(a->Plus(MakeMatrix({{1, 2}, {3, 4}})), 12, 1110);
}

TEST(Elementwise, MissingObjectsAndStorage) {
    auto a = MakeMatrix({{1}});
    EXPECT_RUNTIME_ERROR(a->Plus(nullptr), RuntimeError::MissingObject);
    EXPECT_RUNTIME_ERROR(a->PlusEquals(nullptr), RuntimeError::MissingObject);
    EXPECT_RUNTIME_ERROR(a->Minus(nullptr), RuntimeError::MissingObject);
    EXPECT_RUNTIME_ERROR(a->MinusEquals(nullptr), RuntimeError::MissingObject);
    // New objects report 1 x 1 but hold no elements.
    EXPECT_RUNTIME_ERROR(Matrix::New()->Plus(a), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(a->Plus(Matrix::New()), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(Matrix::New()->TimesScalar(2), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(Matrix::New()->Transpose(), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(ToRows(*a), (Rows{{1}}));
}

TEST(Elementwise, ReceiverAsItsOwnArgument) {
    for (bool events : {false, true}) {
        auto a = MakeMatrix(kA);
        a->SetFireEvents(events);
        a->PlusEquals(a);
        EXPECT_EQ(ToRows(*a), Elementwise(kA, kA, [](double x, double y) { return x + y; }));
        a->MinusEquals(a);
        EXPECT_EQ(ToRows(*a), (Rows{{0, 0, 0}, {0, 0, 0}}));
        auto b = MakeMatrix(kA);
        b->SetFireEvents(events);
        EXPECT_EQ(ToRows(*b->Minus(b)), (Rows{{0, 0, 0}, {0, 0, 0}}));
    }
}

TEST(Elementwise, ScalarAndTranspose) {
    auto a = MakeMatrix({{1, -2, 3}, {4, 5, 6}});
    MatrixPtr z = a->TimesScalar(0);
    ASSERT_TRUE(z);
    EXPECT_EQ(ToRows(*z), (Rows{{0, 0, 0}, {0, 0, 0}}));
    EXPECT_TRUE(SameBits(z->Item(0, 1), -0.0));  // -2 * 0
    EXPECT_EQ(ToRows(*a->TimesScalar(2.5)), (Rows{{2.5, -5, 7.5}, {10, 12.5, 15}}));
    EXPECT_EQ(ToRows(*a), (Rows{{1, -2, 3}, {4, 5, 6}}));

    MatrixPtr t = a->Transpose();
    EXPECT_EQ(ToRows(*t), (Rows{{1, 4}, {-2, 5}, {3, 6}}));
    EXPECT_EQ(ToRows(*MakeMatrix({{7}})->Transpose()), (Rows{{7}}));
    a->SetFireEvents(true);
    EXPECT_FALSE(a->Transpose()->FireEvents());
    EXPECT_FALSE(a->TimesScalar(1)->FireEvents());

    auto rows0 = Matrix::New();
    rows0->SetAsArray(DoubleArray::Create2D(-1, 2));
    t = rows0->Transpose();
    EXPECT_EQ(t->Rows(), 3);
    EXPECT_EQ(t->Cols(), 0);
}

TEST(Elementwise, EventsFollowTheRows) {
    auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    auto b = MakeMatrix({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
    const float third = static_cast<float>(100.0 / 3.0), twoThirds = static_cast<float>(200.0 / 3.0);
    const std::vector<std::pair<std::string, std::function<void()>>> ops = {
        {"Plus", [&] { a->Plus(b); }},
        {"Minus", [&] { a->Minus(b); }},
        {"PlusEquals", [&] { a->PlusEquals(b); }},
        {"MinusEquals", [&] { a->MinusEquals(b); }},
        {"TimesScalar", [&] { a->TimesScalar(2); }},
        {"Transpose", [&] { a->Transpose(); }}};
    auto rec = Record(a);
    for (const auto& [name, run] : ops) {
        rec->events.clear();
        run();
        EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", name, third},
                                                           {"OnProgress", name, twoThirds},
                                                           {"OnProgress", name, 100.0f},
                                                           {"Done", name, 0.0f}}));
    }
    // With events off nothing is raised.
    a->SetFireEvents(false);
    rec->events.clear();
    for (const auto& op : ops) op.second();
    EXPECT_TRUE(rec->events.empty());

    // Four rows: 25, 50, 75, 100.
    auto four = MakeMatrix({{1}, {2}, {3}, {4}});
    auto rec4 = Record(four);
    four->Plus(four);
    EXPECT_EQ(rec4->Percents(), (std::vector<float>{25, 50, 75, 100}));

    // A handler that switches events off still gets every event of the call.
    rec4->events.clear();
    rec4->onProgress = [&](int, bool&) { four->SetFireEvents(false); };
    four->Plus(four);
    EXPECT_EQ(rec4->events.size(), 5u);
}

TEST(Elementwise, CancelLeavesNoResultAndTheReceiverUnchanged) {
    auto a = MakeMatrix({{1, 2}, {3, 4}, {5, 6}});
    auto b = MakeMatrix({{1, 1}, {1, 1}, {1, 1}});
    auto rec = Record(a);
    rec->onProgress = [](int, bool& cancel) { cancel = true; };
    EXPECT_EQ(a->Plus(b), nullptr);
    EXPECT_EQ(rec->events.size(), 1u);
    EXPECT_EQ(a->Minus(b), nullptr);
    EXPECT_EQ(a->TimesScalar(3), nullptr);
    EXPECT_EQ(a->Transpose(), nullptr);
    rec->events.clear();
    a->PlusEquals(b);
    a->MinusEquals(b);
    EXPECT_EQ(rec->events.size(), 2u);
    for (const auto& e : rec->events) EXPECT_EQ(e.kind, "OnProgress");
    EXPECT_EQ(ToRows(*a), (Rows{{1, 2}, {3, 4}, {5, 6}}));
}

// Receiver and argument for a fault at (0, 2) and one at (1, 0): the first
// in row order decides, which a walk in storage order would get wrong.
TEST(Elementwise, FaultIsTheFirstInRowOrder) {
    const Rows overflowFirst = {{1, 2, kMax}, {kInf, 5, 6}};
    const Rows overflowFirstArg = {{1, 1, kMax}, {-kInf, 1, 1}};
    const Rows invalidFirst = {{1, 2, kInf}, {kMax, 5, 6}};
    const Rows invalidFirstArg = {{1, 1, -kInf}, {kMax, 1, 1}};
    for (bool events : {false, true}) {
        SCOPED_TRACE(events ? "events on" : "events off");
        auto a = MakeMatrix(overflowFirst);
        a->SetFireEvents(events);
        EXPECT_EQ(FaultOf([&] { a->Plus(MakeMatrix(overflowFirstArg)); }), "overflow");
        EXPECT_EQ(FaultOf([&] { a->PlusEquals(MakeMatrix(overflowFirstArg)); }), "overflow");
        EXPECT_EQ(ToRows(*a), overflowFirst);
        auto c = MakeMatrix(invalidFirst);
        c->SetFireEvents(events);
        EXPECT_EQ(FaultOf([&] { c->Plus(MakeMatrix(invalidFirstArg)); }), "invalid");
        EXPECT_EQ(FaultOf([&] { c->PlusEquals(MakeMatrix(invalidFirstArg)); }), "invalid");
        EXPECT_EQ(ToRows(*c), invalidFirst);
        // Minus: max - (-max) overflows, inf - inf is invalid.
        const Rows negArg = {{1, 1, -kMax}, {kInf, 1, 1}};
        EXPECT_EQ(FaultOf([&] { a->Minus(MakeMatrix(negArg)); }), "overflow");
        EXPECT_EQ(ToRows(*a), overflowFirst);
        // TimesScalar: max * 2 overflows, a signalling NaN * 2 is invalid.
        const double sNaN = std::numeric_limits<double>::signaling_NaN();
        auto s1 = MakeMatrix({{1, kMax}, {sNaN, 1}});
        s1->SetFireEvents(events);
        EXPECT_EQ(FaultOf([&] { s1->TimesScalar(2); }), "overflow");
        auto s2 = MakeMatrix({{1, sNaN}, {kMax, 1}});
        s2->SetFireEvents(events);
        EXPECT_EQ(FaultOf([&] { s2->TimesScalar(2); }), "invalid");
    }
    EXPECT_EQ(FaultOf([&] { MakeMatrix({{kMax}})->Plus(MakeMatrix({{kMax}})); }), "overflow");
}

TEST(Elementwise, MinusEqualsFaultKeepsTheElementsWrittenWithEventsOff) {
    const Rows a0 = {{1, 2, kMax, 4}, {5, 6, 7, 8}, {kInf, 10, 11, 12}};
    const Rows b0 = {{1, 1, -kMax, 1}, {1, 1, 1, 1}, {kInf, 1, 1, 1}};
    auto a = MakeMatrix(a0);
    EXPECT_EQ(FaultOf([&] { a->MinusEquals(MakeMatrix(b0)); }), "overflow");
    // Row 0 up to and including the faulting element is written.
    EXPECT_EQ(ToRows(*a), (Rows{{0, 1, kInf, 4}, {5, 6, 7, 8}, {kInf, 10, 11, 12}}));

    a = MakeMatrix(a0);
    a->SetFireEvents(true);
    EXPECT_EQ(FaultOf([&] { a->MinusEquals(MakeMatrix(b0)); }), "overflow");
    EXPECT_EQ(ToRows(*a), a0);

    // The fault in the last element of a larger matrix: everything before it
    // in row order is written.
    Dense big = RandomDense(40, 30, 3), arg = RandomDense(40, 30, 4);
    big(39, 29) = kInf;
    arg(39, 29) = kInf;
    big(20, 29) = kNaN;  // quiet NaNs raise nothing
    auto mb = ToMatrix(big);
    EXPECT_EQ(FaultOf([&] { mb->MinusEquals(ToMatrix(arg)); }), "invalid");
    const Dense got = FromMatrix(*mb);
    for (int32_t i = 0; i < 40; ++i)
        for (int32_t j = 0; j < 30; ++j)
            ASSERT_TRUE(SameBits(got(i, j), big(i, j) - arg(i, j))) << i << "," << j;
}

TEST(Elementwise, HandlerResizingTheReceiver) {
    auto arg = MakeMatrix({{10, 20, 30}, {40, 50, 60}, {70, 80, 90}});
    // Fewer columns: the later rows stop at the new last column; the work
    // array keeps the argument's values beyond it.
    {
        auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
        auto rec = Record(a);
        rec->onProgress = [&](int index, bool&) {
            if (index == 0) a->SetCols(2);
        };
        MatrixPtr c = a->Plus(arg);
        ASSERT_TRUE(c);
        EXPECT_EQ(ToRows(*c), (Rows{{11, 22, 33}, {44, 55, 60}, {77, 88, 90}}));
        EXPECT_EQ(rec->events.back().kind, "Done");
    }
    // More columns, fewer rows, no rows: the subscript error.
    for (int variant = 0; variant < 3; ++variant) {
        for (const char* op : {"Plus", "PlusEquals", "MinusEquals", "TimesScalar", "Transpose"}) {
            SCOPED_TRACE(std::string(op) + " " + std::to_string(variant));
            auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
            auto rec = Record(a);
            rec->onProgress = [&](int index, bool&) {
                if (index != 0) return;
                if (variant == 0) a->SetCols(5);
                if (variant == 1) a->Size(1, 3);
                if (variant == 2) a->SetAsArray(DoubleArray::Create2D(-1, 2));
            };
            const std::string name = op;
            EXPECT_RUNTIME_ERROR(
                {
                    if (name == "Plus") a->Plus(arg);
                    if (name == "PlusEquals") a->PlusEquals(arg);
                    if (name == "MinusEquals") a->MinusEquals(arg);
                    if (name == "TimesScalar") a->TimesScalar(2);
                    if (name == "Transpose") a->Transpose();
                },
                RuntimeError::SubscriptOutOfRange);
            EXPECT_EQ(rec->events.size(), 1u);
        }
    }
    // The in-place sum finds the receiver resized after its last row: the
    // results no longer fit, so nothing is stored.
    {
        auto a = MakeMatrix({{1, 2}, {3, 4}});
        auto rec = Record(a);
        rec->onProgress = [&](int index, bool&) {
            if (index == 1) a->SetRows(3);
        };
        EXPECT_RUNTIME_ERROR(a->PlusEquals(MakeMatrix({{1, 1}, {1, 1}})),
                             RuntimeError::SubscriptOutOfRange);
        EXPECT_EQ(ToRows(*a), (Rows{{0, 0}, {0, 0}, {0, 0}}));
    }
    // Changing the argument during the call has no effect: its copy is used.
    {
        auto a = MakeMatrix({{1, 2}, {3, 4}});
        auto b = MakeMatrix({{1, 1}, {1, 1}});
        auto rec = Record(a);
        rec->onProgress = [&](int, bool&) { b->SetItem(1, 1, 100); };
        EXPECT_EQ(ToRows(*a->Plus(b)), (Rows{{2, 3}, {4, 5}}));
    }
}

}  // namespace
}  // namespace kestrim::test
