#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "host/runtime/Random.h"
#include "support/TestSupport.h"

using namespace kestrim;
using namespace kestrim::test;

TEST(FillRandom, DefaultsGiveIntegersFromZeroToTen) {
    auto m = Matrix::New();
    m->Size(20, 20);
    m->FillRandom();
    bool sawDifferent = false;
    for (const auto& row : ToRows(*m))
        for (double x : row) {
            EXPECT_EQ(x, std::floor(x));
            EXPECT_GE(x, 0.0);
            EXPECT_LE(x, 10.0);
            sawDifferent |= x != m->Item(0, 0);
        }
    EXPECT_TRUE(sawDifferent);
    EXPECT_EQ(m->Rows(), 20);
    EXPECT_FALSE(m->FireEvents());
}

TEST(FillRandom, EqualLimitsAndDecimals) {
    auto m = Matrix::New();
    m->Size(3, 4);
    m->FillRandom(5, 5);
    for (const auto& row : ToRows(*m))
        for (double x : row) EXPECT_EQ(x, 5.0);
    m->FillRandom(-1, 1, 2);
    for (const auto& row : ToRows(*m))
        for (double x : row) {
            EXPECT_NEAR(x * 100, std::round(x * 100), 1e-9);
            EXPECT_GE(x, -1.0);
            EXPECT_LE(x, 1.0);
        }
}

TEST(FillRandom, SequenceIsDrawnInRowOrder) {
    random::ResetForTesting();
    auto m = Matrix::New();
    m->Size(2, 3);
    m->FillRandom(0, 1000, 3);
    random::ResetForTesting();
    auto expected = Matrix::New();
    expected->Size(1, 6);
    expected->FillRandom(0, 1000, 3);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(m->Item(k / 3, k % 3), expected->Item(0, k));
}

TEST(FillRandom, EventsAndCancel) {
    auto m = MakeMatrix({{1, 2}, {3, 4}});
    auto rec = Record(m);
    m->FillRandom();
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"OnProgress", "FillRandom", 50.0f},
                                                       {"OnProgress", "FillRandom", 100.0f},
                                                       {"Done", "FillRandom", 0.0f}}));
    const auto before = ToRows(*m);
    rec->events.clear();
    rec->onProgress = [](int, bool& cancel) { cancel = true; };
    m->FillRandom(100, 200);
    EXPECT_EQ(ToRows(*m), before);
    EXPECT_EQ(rec->events.size(), 1u);
}

TEST(FillRandom, FaultsAndInvalidDecimals) {
    for (bool events : {false, true}) {
        auto m = MakeMatrix({{1, 2}, {3, 4}});
        m->SetFireEvents(events);
        EXPECT_RUNTIME_ERROR(m->FillRandom(-DBL_MAX, DBL_MAX), RuntimeError::Overflow);
        EXPECT_RUNTIME_ERROR(m->FillRandom(0, 10, -1), RuntimeError::InvalidArgument);
        EXPECT_EQ(ToRows(*m), (Rows{{1, 2}, {3, 4}}));
    }
    EXPECT_RUNTIME_ERROR(Matrix::New()->FillRandom(), RuntimeError::SubscriptOutOfRange);
}

TEST(FillRandom, HandlerThatShrinksTheReceiverCannotCauseOutOfBoundsWrites) {
    auto m = Matrix::New();
    m->Size(4, 4);
    auto rec = Record(m);
    rec->onProgress = [&](int, bool&) { m->Size(1, 1); };
    EXPECT_RUNTIME_ERROR(m->FillRandom(), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(m->Rows(), 1);
    rec->onProgress = [&](int, bool&) { m->SetCols(9); };
    m->Size(3, 3);
    EXPECT_RUNTIME_ERROR(m->FillRandom(), RuntimeError::SubscriptOutOfRange);
}

TEST(FillRandom, WidenedReceiverFailsAtTheFirstMissingColumnAfterItsDraw) {
    // Reference sequence of the generator from its initial state.
    random::ResetForTesting();
    std::vector<float> draws;
    for (int k = 0; k < 8; ++k) draws.push_back(random::NextSingle());
    ASSERT_NE(draws[3], draws[7]);

    // Row 0 draws 3 values; the handler then widens the matrix to 4
    // columns, so row 1 draws for columns 0 to 3 and fails storing column 3.
    random::ResetForTesting();
    auto m = Matrix::New();
    m->Size(2, 3);
    auto rec = Record(m);
    rec->onProgress = [&](int index, bool&) {
        if (index == 0) m->SetCols(4);
    };
    EXPECT_RUNTIME_ERROR(m->FillRandom(), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(rec->events.size(), 1u);
    EXPECT_EQ(random::NextSingle(), draws[7]);
    for (int32_t j = 0; j < 4; ++j) EXPECT_EQ(m->Item(0, j), 0.0);
}
