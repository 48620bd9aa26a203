// RowVector, ColVector, RearrangeRows, RearrangeCols, IsSquare, IsSymmetric, IsEqualTo and Normalize(Me).
#include "ops/OpsTestUtil.h"

namespace kestrim::test {
namespace {

std::vector<int32_t> Values(const Variant& index) {
    std::vector<int32_t> out;
    for (int32_t i = index.LBound(1); i <= index.UBound(1); ++i) out.push_back(index.At(i).ToLong());
    return out;
}
Variant Index(const std::vector<int32_t>& v) { return Variant::MakeVariantArray(std::vector<Variant>(v.begin(), v.end())); }

TEST(Vectors, ExamplesAndErrors) {
    auto a = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    EXPECT_EQ(ToRows(*a->RowVector(1)), (Rows{{4, 5, 6}}));
    EXPECT_EQ(ToRows(*a->ColVector(2)), (Rows{{3}, {6}}));
    EXPECT_MATRIX_ERROR(a->RowVector(2), 19, 1138);
    EXPECT_MATRIX_ERROR(a->ColVector(3), 20, 1139);
    EXPECT_RUNTIME_ERROR(Matrix::New()->RowVector(0), RuntimeError::SubscriptOutOfRange);
    Variant one(int32_t{1}), noStorage = Variant::MakeArrayWithoutStorage(VariantType::VariantArray);
    Variant empty = Variant::MakeVariantArray(0);  // still read at index 0
    EXPECT_MATRIX_ERROR(a->RearrangeRows(one), 3, 1129);
    EXPECT_MATRIX_ERROR(a->RearrangeCols(one), 3, 1130);
    EXPECT_RUNTIME_ERROR(a->RearrangeRows(noStorage), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(a->RearrangeRows(empty), RuntimeError::SubscriptOutOfRange);
    // Bounds are clamped into the rows: a lower bound past the last row is
    // read at the last row, where this array has no entry.
    Variant late = Variant::MakeLongArray({0, 1}, 5);
    EXPECT_RUNTIME_ERROR(a->RearrangeRows(late), RuntimeError::SubscriptOutOfRange);
    Variant early = Variant::MakeLongArray({0, 1, 0}, -1);  // entry -1 unread; (1, 0) swaps the rows
    auto swapped = MakeMatrix({{1}, {2}});
    swapped->RearrangeRows(early);
    EXPECT_EQ(ToRows(*swapped), (Rows{{2}, {1}}));
    // Rows before, index, rows after, index after; row i ends at position index(i).
    const std::tuple<Rows, std::vector<int32_t>, Rows, std::vector<int32_t>> cases[] = {
        {{{0}, {1}, {2}, {3}}, {1, 2, 3, 0}, {{3}, {0}, {1}, {2}}, {0, 1, 2, 3}},
        {{{0}, {1}, {2}}, {7, 2, 1, 0, -1}, {{0}, {2}, {1}}, {7, 1, 2, 0, -1}},  // entries past the last row unread
        // Duplicates: the first look at a position exchanges as a single
        // pass would; only repeated looks stop at an entry already in place.
        {{{0}, {1}, {2}}, {1, 1, 0}, {{2}, {0}, {1}}, {0, 1, 1}},
        {{{10}, {11}}, {1, 1}, {{11}, {10}}, {1, 1}},
        {{{0}, {1}, {2}}, {2, 2, 0}, {{2}, {0}, {1}}, {0, 2, 2}},
        {{{0}, {1}, {2}}, {0, 0, 0}, {{2}, {0}, {1}}, {0, 0, 0}},
        {{{0}, {1}, {2}, {3}}, {3, 3, 3, 3}, {{3}, {0}, {1}, {2}}, {3, 3, 3, 3}},
    };
    for (const auto& [before, index, after, indexAfter] : cases) {
        auto a = MakeMatrix(before);
        Variant p = Index(index);
        a->RearrangeRows(p);
        EXPECT_EQ(ToRows(*a), after);
        EXPECT_EQ(Values(p), indexAfter);
    }
    // Columns: an index longer than the column count counts only its first entries.
    auto c = MakeMatrix({{1, 2}, {3, 4}, {5, 6}});
    Variant p = Index({1, 0, 1});
    c->RearrangeCols(p);
    EXPECT_EQ(ToRows(*c), (Rows{{2, 1}, {4, 3}, {6, 5}}));
    auto dup = MakeMatrix({{10, 11}});
    Variant twice = Index({1, 1});
    dup->RearrangeCols(twice);
    EXPECT_EQ(ToRows(*dup), (Rows{{11, 10}}));
    EXPECT_EQ(Values(twice), (std::vector<int32_t>{1, 1}));
    // Doubles round half to even (1.5 -> 2, 0.5 -> 0); a moved entry keeps its type.
    auto d = MakeMatrix({{0}, {1}, {2}});
    Variant doubles = Variant::MakeVariantArray({Variant(1.5), Variant(0.5), Variant(0.0)});
    d->RearrangeRows(doubles);
    // (2, 0, 0): position 1 names row 0, so it exchanges even though entry 0
    // is in place by then.
    EXPECT_EQ(ToRows(*d), (Rows{{1}, {2}, {0}}));
    EXPECT_TRUE(doubles.At(1).Type() == VariantType::Double && doubles.At(0).Type() == VariantType::Long &&
                doubles.At(2).Type() == VariantType::Long);
    // Errors part way: rows already exchanged stay exchanged.
    auto e = MakeMatrix({{0}, {1}, {2}});
    Variant text = Variant::MakeVariantArray({Variant(int32_t{1}), Variant(int32_t{0}), Variant("x")});
    EXPECT_RUNTIME_ERROR(e->RearrangeRows(text), RuntimeError::TypeMismatch);
    EXPECT_EQ(ToRows(*e), (Rows{{1}, {0}, {2}}));
}

TEST(Comparisons, SquareSymmetricAndEqual) {
    EXPECT_TRUE(Matrix::New()->IsSquare() && Matrix::New()->IsSymmetric());  // reports 1 x 1
    EXPECT_FALSE(MakeMatrix({{1, 2, 3}, {4, 5, 6}})->IsSquare());
    // The diagonal is not examined, +0 equals -0, a NaN pair is not symmetric.
    EXPECT_TRUE(MakeMatrix({{kNaN, -0.0}, {0.0, kInf}})->IsSymmetric());
    EXPECT_FALSE(MakeMatrix({{1, kNaN}, {kNaN, 1}})->IsSymmetric());
    auto s = MakeMatrix(RandomRows(77, 77, 5));
    s->PlusEquals(s->Transpose());  // exactly symmetric
    for (const auto& [i, j] : {std::pair{5, 5}, std::pair{0, 76}, std::pair{76, 0}, std::pair{40, 39}, std::pair{33, 64}}) {
        const double x = s->Item(i, j);
        s->SetItem(i, j, std::nextafter(x, 1e300));
        EXPECT_EQ(s->IsSymmetric(), i == j) << i << "," << j;
        s->SetItem(i, j, x);
    }
    // Equal when every difference is strictly below the tolerance.
    auto a = MakeMatrix({{1, 2}, {3, 4}});
    EXPECT_TRUE(a->IsEqualTo(a) && !a->IsEqualTo(a, 0) && !a->IsEqualTo(MakeMatrix({{1, 2}})));
    EXPECT_TRUE(MakeMatrix({{1}})->IsEqualTo(MakeMatrix({{1 + 1e-10}})));
    EXPECT_FALSE(MakeMatrix({{1}})->IsEqualTo(MakeMatrix({{1.5}}), 0.5));
    EXPECT_TRUE(a->IsEqualTo(MakeMatrix({{1, 2}, {3, 4.5}}), 0.6));
    EXPECT_RUNTIME_ERROR(a->IsEqualTo(nullptr), RuntimeError::MissingObject);
    EXPECT_RUNTIME_ERROR(Matrix::New()->IsEqualTo(MakeMatrix({{1}})), RuntimeError::SubscriptOutOfRange);
    // The first element in row order decides between a fault and an unequal (or NaN) pair.
    EXPECT_EQ(FaultOf([] { MakeMatrix({{1, kMax}, {5, 1}})->IsEqualTo(MakeMatrix({{1, -kMax}, {1, 1}})); }),
              "overflow");
    EXPECT_FALSE(MakeMatrix({{1, 5}, {kMax, 1}})->IsEqualTo(MakeMatrix({{1, 1}, {-kMax, 1}})));
    EXPECT_FALSE(MakeMatrix({{kNaN, kMax}})->IsEqualTo(MakeMatrix({{1, -kMax}})));
    EXPECT_FALSE(MakeMatrix({{kSNaN}})->IsEqualTo(MakeMatrix({{1}})));
    EXPECT_EQ(FaultOf([] { MakeMatrix({{kInf}})->IsEqualTo(MakeMatrix({{kInf}})); }), "invalid");
}

TEST(Normalization, ScalesByTheSignedLargestMagnitude) {
    // Before, factor, after: the first largest magnitude in row order wins; quiet NaNs are skipped.
    const std::tuple<Rows, double, Rows> cases[] = {
        {{{0, -3}, {3, 0}}, -3, {{-0.0, 1}, {-1, -0.0}}},
        {{{0, 0}, {0, -0.0}}, 0, {{0, 0}, {0, -0.0}}},
        {{{kNaN, 2}, {-4, 1}}, -4, {{kNaN, -0.5}, {1, -0.25}}},
        {{{10, 3}}, 10, {{1, 0.1 * 3}}},  // multiplied by the reciprocal, not divided
    };
    for (const auto& [before, factor, after] : cases) {
        auto a = MakeMatrix(before);
        double v = 42;
        a->NormalizeMe(&v);
        EXPECT_TRUE(v == factor && BitDifferences(ToRows(*a), after) == 0) << factor;
    }
    // Normalize works on a copy.
    auto m = MakeMatrix({{2, -4}});
    double v = 0;
    EXPECT_TRUE(ToRows(*m->Normalize(&v)) == (Rows{{-0.5, 1}}) && v == -4.0 && ToRows(*m) == (Rows{{2, -4}}));
    EXPECT_RUNTIME_ERROR(Matrix::New()->NormalizeMe(), RuntimeError::SubscriptOutOfRange);
    // A subnormal largest magnitude: 1 / v overflows before anything is scaled or stored;
    // an infinite one: 0 * inf is invalid, and only the earlier elements are scaled.
    const double tiny = std::numeric_limits<double>::denorm_min() * 3;
    auto a = MakeMatrix({{tiny, 0}}), b = MakeMatrix({{1, kInf}, {4, 5}});
    EXPECT_EQ(FaultOf([&] { a->NormalizeMe(&v); }), "overflow");
    EXPECT_TRUE(v == -4.0 && ToRows(*a) == (Rows{{tiny, 0}}));
    EXPECT_EQ(FaultOf([&] { b->NormalizeMe(&v); }), "invalid");
    EXPECT_TRUE(b->Item(0, 0) == 0.0 && std::isnan(b->Item(0, 1)) && b->Item(1, 0) == 4.0);
}

}  // namespace
}  // namespace kestrim::test
