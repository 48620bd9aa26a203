#include <gtest/gtest.h>

#include <cmath>

#include "kestrim/Variant.h"
#include "support/TestSupport.h"

using kestrim::RuntimeError;
using kestrim::Variant;
using kestrim::VariantType;

TEST(Variant, ToLongRoundsHalfToEven) {
    EXPECT_EQ(Variant(2.5).ToLong(), 2);
    EXPECT_EQ(Variant(3.5).ToLong(), 4);
    EXPECT_EQ(Variant(-2.5).ToLong(), -2);
    EXPECT_EQ(Variant(-3.5).ToLong(), -4);
    EXPECT_EQ(Variant(2.4999999).ToLong(), 2);
    EXPECT_EQ(Variant(0.5000001).ToLong(), 1);
    EXPECT_EQ(Variant(2147483647.4).ToLong(), 2147483647);
}

TEST(Variant, ToLongOfOtherTypes) {
    EXPECT_EQ(Variant().ToLong(), 0);
    EXPECT_EQ(Variant::FromBoolean(true).ToLong(), -1);
    EXPECT_EQ(Variant(int32_t{-7}).ToLong(), -7);
    EXPECT_EQ(Variant(" 12 ").ToLong(), 12);
    EXPECT_EQ(Variant("4.5").ToLong(), 4);
    EXPECT_EQ(Variant("-1e1").ToLong(), -10);
}

TEST(Variant, ToLongFailures) {
    EXPECT_RUNTIME_ERROR(Variant("abc").ToLong(), RuntimeError::TypeMismatch);
    EXPECT_RUNTIME_ERROR(Variant("").ToLong(), RuntimeError::TypeMismatch);
    EXPECT_RUNTIME_ERROR(Variant("0x10").ToLong(), RuntimeError::TypeMismatch);
    EXPECT_RUNTIME_ERROR(Variant("nan").ToLong(), RuntimeError::TypeMismatch);
    EXPECT_RUNTIME_ERROR(Variant(3e9).ToLong(), RuntimeError::Overflow);
    EXPECT_RUNTIME_ERROR(Variant(2147483647.5).ToLong(), RuntimeError::Overflow);
    EXPECT_RUNTIME_ERROR(Variant(std::nan("")).ToLong(), RuntimeError::Overflow);
    EXPECT_RUNTIME_ERROR(Variant::MakeLongArray({1}).ToLong(), RuntimeError::TypeMismatch);
}

TEST(Variant, ArraysHaveBoundsAndCheckedEntries) {
    auto v = Variant::MakeLongArray({5, 6, 7}, 1);
    EXPECT_TRUE(v.IsArray());
    EXPECT_EQ(v.LBound(), 1);
    EXPECT_EQ(v.UBound(), 3);
    EXPECT_EQ(v.At(2).ToLong(), 6);
    EXPECT_RUNTIME_ERROR(v.At(0), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(v.UBound(2), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(Variant(1.0).LBound(), RuntimeError::TypeMismatch);
    auto none = Variant::MakeArrayWithoutStorage(VariantType::VariantArray);
    EXPECT_RUNTIME_ERROR(none.LBound(), RuntimeError::SubscriptOutOfRange);
    auto empty = Variant::MakeVariantArray(0);
    EXPECT_EQ(empty.UBound(), -1);
}

TEST(Variant, TypedArraysConvertStoredEntries) {
    auto longs = Variant::MakeLongArray({0, 0});
    longs.SetAt(0, Variant(2.5));
    EXPECT_EQ(longs.At(0).Type(), VariantType::Long);
    EXPECT_EQ(longs.At(0).AsLongRaw(), 2);
    EXPECT_RUNTIME_ERROR(longs.SetAt(1, Variant("x")), RuntimeError::TypeMismatch);

    auto variants = Variant::MakeVariantArray(2);
    variants.SetAt(1, Variant(2.5));
    EXPECT_EQ(variants.At(1).Type(), VariantType::Double);
    EXPECT_EQ(variants.At(1).AsDoubleRaw(), 2.5);

    auto doubles = Variant(kestrim::DoubleArray::Create1D(1));
    doubles.SetAt(1, Variant(int32_t{3}));
    EXPECT_EQ(doubles.At(1).AsDoubleRaw(), 3.0);
}

TEST(Variant, CopiesAreDeep) {
    auto a = Variant::MakeLongArray({1, 2});
    Variant b = a;
    b.SetAt(0, Variant(int32_t{9}));
    EXPECT_EQ(a.At(0).ToLong(), 1);
}
