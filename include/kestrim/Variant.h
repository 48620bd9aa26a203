// A tagged value as exchanged with automation hosts: empty, Boolean, Long,
// Double, String, or a one-dimensional array (of Variants, of Long, or of
// Double) with any lower bound. A Variant may also carry a DoubleArray of
// any dimension count (what AsArray let receives). Copies are deep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrim/DoubleArray.h"

namespace kestrim {

enum class VariantType {
    Empty,
    Boolean,
    Long,
    Double,
    String,
    VariantArray,  // one-dimensional array of Variants
    LongArray,     // one-dimensional array of Long
    DoubleArray,   // array of Double (any number of dimensions)
};

class Variant {
public:
    Variant() = default;
    Variant(int32_t value) : type_(VariantType::Long), long_(value) {}
    Variant(double value) : type_(VariantType::Double), double_(value) {}
    Variant(const char* text) : type_(VariantType::String), string_(text) {}
    Variant(std::string text) : type_(VariantType::String), string_(std::move(text)) {}
    Variant(kestrim::DoubleArray array)
        : type_(VariantType::DoubleArray), doubles_(std::move(array)) {}
    static Variant FromBoolean(bool value);

    // One-dimensional arrays with bounds lower .. lower + count - 1.
    static Variant MakeVariantArray(int32_t count, int32_t lower = 0);
    static Variant MakeLongArray(const std::vector<int32_t>& values, int32_t lower = 0);
    static Variant MakeVariantArray(const std::vector<Variant>& values, int32_t lower = 0);
    // An array type without storage (bounds raise the subscript error).
    static Variant MakeArrayWithoutStorage(VariantType arrayType);

    VariantType Type() const noexcept { return type_; }
    bool IsEmpty() const noexcept { return type_ == VariantType::Empty; }
    bool IsArray() const noexcept;

    // Scalar contents (no conversion); meaningful only for the matching type.
    bool AsBoolean() const noexcept { return boolean_; }
    int32_t AsLongRaw() const noexcept { return long_; }
    double AsDoubleRaw() const noexcept { return double_; }
    const std::string& AsStringRaw() const noexcept { return string_; }

    // Conversion to Long as the automation runtime does it: Double rounds
    // half to even (overflow error outside the Long range), Boolean gives
    // -1 or 0, Empty gives 0, numeric text is parsed and converted, any
    // other text or an array raises the type-mismatch error.
    int32_t ToLong() const;

    // Array access. Not an array: type-mismatch error. No storage, an index
    // outside the bounds, or a multi-dimensional DoubleArray read with one
    // index: subscript error.
    int32_t LBound(int dim = 1) const;
    int32_t UBound(int dim = 1) const;
    Variant At(int32_t index) const;
    // Stores an entry. A Long array converts the value to Long, a Double
    // array to Double; a Variant array keeps the value and its type.
    void SetAt(int32_t index, const Variant& value);

    const kestrim::DoubleArray& Doubles() const noexcept { return doubles_; }
    kestrim::DoubleArray& Doubles() noexcept { return doubles_; }

private:
    static Variant MakeArray(VariantType type, std::vector<Variant> items, int32_t lower);
    std::size_t ArrayOffset(int32_t index) const;

    VariantType type_ = VariantType::Empty;
    bool boolean_ = false;
    int32_t long_ = 0;
    double double_ = 0.0;
    std::string string_;
    // VariantArray and LongArray entries (LongArray entries are all Long).
    std::vector<Variant> items_;
    int32_t lower_ = 0;
    bool arrayStorage_ = false;
    kestrim::DoubleArray doubles_;
};

}  // namespace kestrim
