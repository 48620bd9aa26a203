// RowVector, ColVector, RearrangeRows and RearrangeCols.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "ops/OpsTestUtil.h"

namespace kestrim::test {
namespace {

std::vector<int32_t> IndexValues(const Variant& index) {
    std::vector<int32_t> out;
    for (int32_t i = index.LBound(1); i <= index.UBound(1); ++i) out.push_back(index.At(i).ToLong());
    return out;
}

Variant VariantIndex(const std::vector<int32_t>& values) {
    std::vector<Variant> items(values.begin(), values.end());
    return Variant::MakeVariantArray(items);
}

TEST(Vectors, RowAndColumn) {
    auto a = MakeMatrix({{1, 2}, {3, 4}});
    a->SetFireEvents(true);
    MatrixPtr r = a->RowVector(1);
    EXPECT_EQ(ToRows(*r), (Rows{{3, 4}}));
    EXPECT_FALSE(r->FireEvents());
    EXPECT_EQ(ToRows(*a->ColVector(0)), (Rows{{1}, {3}}));
    auto wide = MakeMatrix({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {10, 11, 12}});
    EXPECT_EQ(ToRows(*wide->RowVector(3)), (Rows{{10, 11, 12}}));
    EXPECT_EQ(ToRows(*wide->ColVector(2)), (Rows{{3}, {6}, {9}, {12}}));

    EXPECT_MATRIX_ERROR(a->RowVector(-1), 19, 1138);
    EXPECT_MATRIX_ERROR(a->RowVector(2), 19, 1138);
    EXPECT_MATRIX_ERROR(a->ColVector(-1), 20, 1139);
    EXPECT_MATRIX_ERROR(a->ColVector(2), 20, 1139);
    EXPECT_RUNTIME_ERROR(Matrix::New()->RowVector(0), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(Matrix::New()->ColVector(0), RuntimeError::SubscriptOutOfRange);
}

TEST(Vectors, RearrangeRowsExamples) {
    auto a = MakeMatrix({{1, 1}, {2, 2}});
    Variant p = VariantIndex({1, 0});
    a->RearrangeRows(p);
    EXPECT_EQ(ToRows(*a), (Rows{{2, 2}, {1, 1}}));
    EXPECT_EQ(IndexValues(p), (std::vector<int32_t>{0, 1}));

    auto b = MakeMatrix({{0}, {1}, {2}});
    p = VariantIndex({1, 2, 0});
    b->RearrangeRows(p);
    EXPECT_EQ(ToRows(*b), (Rows{{2}, {0}, {1}}));
    EXPECT_EQ(IndexValues(p), (std::vector<int32_t>{0, 1, 2}));

    // A cycle of four: every row i ends at position PermIndex(i).
    auto c = MakeMatrix({{0}, {1}, {2}, {3}});
    p = Variant::MakeLongArray({1, 2, 3, 0});
    c->RearrangeRows(p);
    EXPECT_EQ(ToRows(*c), (Rows{{3}, {0}, {1}, {2}}));
    EXPECT_EQ(IndexValues(p), (std::vector<int32_t>{0, 1, 2, 3}));

    // Identity: nothing moves.
    p = VariantIndex({0, 1, 2, 3});
    c->RearrangeRows(p);
    EXPECT_EQ(ToRows(*c), (Rows{{3}, {0}, {1}, {2}}));

    // A longer index: entries beyond the last row are not examined, and
    // entries naming rows that do not exist are skipped.
    auto d = MakeMatrix({{0}, {1}, {2}});
    p = VariantIndex({7, 2, 1, 0, -1});
    d->RearrangeRows(p);
    EXPECT_EQ(ToRows(*d), (Rows{{0}, {2}, {1}}));
    EXPECT_EQ(IndexValues(p), (std::vector<int32_t>{7, 1, 2, 0, -1}));
}

TEST(Vectors, RearrangeRowsMovesEveryRowForRandomPermutations) {
    std::mt19937 gen(3);
    for (int trial = 0; trial < 20; ++trial) {
        const int32_t n = 2 + trial;
        std::vector<int32_t> perm(n);
        std::iota(perm.begin(), perm.end(), 0);
        std::shuffle(perm.begin(), perm.end(), gen);
        const Dense d = RandomDense(n, 3, trial);
        auto m = ToMatrix(d);
        Variant p = trial % 2 ? VariantIndex(perm) : Variant::MakeLongArray(perm);
        m->RearrangeRows(p);
        const Dense got = FromMatrix(*m);
        for (int32_t i = 0; i < n; ++i)
            for (int32_t j = 0; j < 3; ++j) ASSERT_EQ(got(perm[i], j), d(i, j)) << trial;
        std::vector<int32_t> identity(n);
        std::iota(identity.begin(), identity.end(), 0);
        EXPECT_EQ(IndexValues(p), identity);

        // The same for columns.
        const Dense e = RandomDense(3, n, trial + 100);
        auto mc = ToMatrix(e);
        Variant pc = VariantIndex(perm);
        mc->RearrangeCols(pc);
        const Dense gotc = FromMatrix(*mc);
        for (int32_t i = 0; i < 3; ++i)
            for (int32_t j = 0; j < n; ++j) ASSERT_EQ(gotc(i, perm[j]), e(i, j)) << trial;
        EXPECT_EQ(IndexValues(pc), identity);
    }
}

TEST(Vectors, RearrangeTerminatesOnDuplicates) {
    // Position 0 names row 1, whose entry already names itself: position 0
    // is left as it is. Position 2 moves row 2 to 0, then names row 1 too.
    auto a = MakeMatrix({{0}, {1}, {2}});
    Variant p = VariantIndex({1, 1, 0});
    a->RearrangeRows(p);
    EXPECT_EQ(ToRows(*a), (Rows{{2}, {1}, {0}}));
    EXPECT_EQ(IndexValues(p), (std::vector<int32_t>{0, 1, 1}));

    p = VariantIndex({2, 2, 2, 2});
    auto b = MakeMatrix({{0, 1, 2, 3}});
    b->RearrangeCols(p);
    EXPECT_EQ(ToRows(*b), (Rows{{0, 1, 2, 3}}));

    // Every exchange settles a position, so a long index of repeats ends.
    std::vector<int32_t> repeats(300, 299);
    repeats[299] = 0;
    p = VariantIndex(repeats);
    auto c = ToMatrix(RandomDense(300, 2, 1));
    c->RearrangeRows(p);
    EXPECT_EQ(p.At(0).ToLong(), 0);
}

TEST(Vectors, RearrangeColsExamples) {
    auto a = MakeMatrix({{1, 2}, {3, 4}, {5, 6}});
    Variant p = VariantIndex({1, 0});
    a->RearrangeCols(p);
    EXPECT_EQ(ToRows(*a), (Rows{{2, 1}, {4, 3}, {6, 5}}));

    auto b = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    p = VariantIndex({1, 0});
    b->RearrangeCols(p);
    EXPECT_EQ(ToRows(*b), (Rows{{2, 1, 3}, {5, 4, 6}}));

    // An index of length 3 on two columns: only positions 0 and 1 count,
    // whatever the row count.
    auto c = MakeMatrix({{1, 2}, {3, 4}, {5, 6}});
    p = VariantIndex({0, 2, 1});
    c->RearrangeCols(p);
    EXPECT_EQ(ToRows(*c), (Rows{{1, 2}, {3, 4}, {5, 6}}));
    EXPECT_EQ(IndexValues(p), (std::vector<int32_t>{0, 2, 1}));
}

TEST(Vectors, RearrangeIndexErrorsAndConversions) {
    auto a = MakeMatrix({{0}, {1}, {2}});
    Variant scalar(int32_t{1});
    EXPECT_MATRIX_ERROR(a->RearrangeRows(scalar), 3, 1129);
    EXPECT_MATRIX_ERROR(a->RearrangeCols(scalar), 3, 1130);
    Variant noStorage = Variant::MakeArrayWithoutStorage(VariantType::VariantArray);
    EXPECT_RUNTIME_ERROR(a->RearrangeRows(noStorage), RuntimeError::SubscriptOutOfRange);
    // An empty array is still read at index 0.
    Variant empty = Variant::MakeVariantArray(0);
    EXPECT_RUNTIME_ERROR(a->RearrangeRows(empty), RuntimeError::SubscriptOutOfRange);

    // Doubles round half to even: 1.5 -> 2, 0.5 -> 0.
    Variant doubles = Variant::MakeVariantArray({Variant(1.5), Variant(0.5), Variant(0.0)});
    a->RearrangeRows(doubles);
    EXPECT_EQ(ToRows(*a), (Rows{{2}, {1}, {0}}));
    // The entry copied from position 2 keeps its type (a Double).
    EXPECT_EQ(doubles.At(0).Type(), VariantType::Double);
    EXPECT_EQ(doubles.At(2).Type(), VariantType::Long);

    // Text that is no number: the conversion error, rows already swapped
    // stay swapped.
    auto b = MakeMatrix({{0}, {1}, {2}});
    Variant text = Variant::MakeVariantArray({Variant(int32_t{1}), Variant(int32_t{0}), Variant("x")});
    EXPECT_RUNTIME_ERROR(b->RearrangeRows(text), RuntimeError::TypeMismatch);
    EXPECT_EQ(ToRows(*b), (Rows{{1}, {0}, {2}}));

    // An entry naming a row beyond an index shorter than the matrix.
    auto c = MakeMatrix({{0}, {1}, {2}});
    Variant shortIndex = VariantIndex({2, 0});
    EXPECT_RUNTIME_ERROR(c->RearrangeRows(shortIndex), RuntimeError::SubscriptOutOfRange);
    EXPECT_EQ(ToRows(*c), (Rows{{2}, {1}, {0}}));
}

}  // namespace
}  // namespace kestrim::test
