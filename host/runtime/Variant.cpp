#include "kestrim/Variant.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "kestrim/Error.h"

namespace kestrim {

namespace {

// Rounds half to even without depending on the current rounding mode.
double RoundHalfEven(double x) {
    const double lower = std::floor(x);
    const double diff = x - lower;
    if (diff > 0.5) return lower + 1.0;
    if (diff < 0.5) return lower;
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

int32_t DoubleToLong(double x) {
    if (std::isnan(x)) RaiseRuntimeError(RuntimeError::Overflow);
    const double r = RoundHalfEven(x);
    if (!(r >= -2147483648.0 && r <= 2147483647.0)) RaiseRuntimeError(RuntimeError::Overflow);
    return static_cast<int32_t>(r);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int32_t TextToLong(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsSpace(text[begin])) ++begin;
    while (end > begin && IsSpace(text[end - 1])) --end;
    const std::string trimmed = text.substr(begin, end - begin);
    if (trimmed.empty()) RaiseRuntimeError(RuntimeError::TypeMismatch);
    // Only plain decimal numbers count: no hexadecimal, no inf/nan words.
    for (char c : trimmed) {
        const bool allowed = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' ||
                             c == 'e' || c == 'E';
        if (!allowed) RaiseRuntimeError(RuntimeError::TypeMismatch);
    }
    char* stop = nullptr;
    errno = 0;
    const double value = std::strtod(trimmed.c_str(), &stop);
    if (stop != trimmed.c_str() + trimmed.size()) RaiseRuntimeError(RuntimeError::TypeMismatch);
    if (errno == ERANGE && std::isinf(value)) RaiseRuntimeError(RuntimeError::Overflow);
    return DoubleToLong(value);
}

}  // namespace

Variant Variant::FromBoolean(bool value) {
    Variant v;
    v.type_ = VariantType::Boolean;
    v.boolean_ = value;
    return v;
}

Variant Variant::MakeArray(VariantType type, std::vector<Variant> items, int32_t lower) {
    // Both bounds are Longs: an array whose upper bound would pass
    // 2147483647 cannot exist (UBound could not report it).
    if (static_cast<int64_t>(lower) + static_cast<int64_t>(items.size()) - 1 > INT32_MAX)
        RaiseRuntimeError(RuntimeError::Overflow);
    Variant v;
    v.type_ = type;
    v.items_ = std::move(items);
    v.lower_ = lower;
    v.arrayStorage_ = true;
    return v;
}

Variant Variant::MakeVariantArray(int32_t count, int32_t lower) {
    return MakeArray(VariantType::VariantArray,
                     std::vector<Variant>(static_cast<std::size_t>(count < 0 ? 0 : count)), lower);
}

Variant Variant::MakeVariantArray(const std::vector<Variant>& values, int32_t lower) {
    return MakeArray(VariantType::VariantArray, values, lower);
}

Variant Variant::MakeLongArray(const std::vector<int32_t>& values, int32_t lower) {
    return MakeArray(VariantType::LongArray, std::vector<Variant>(values.begin(), values.end()), lower);
}

Variant Variant::MakeArrayWithoutStorage(VariantType arrayType) {
    Variant v;
    v.type_ = arrayType;
    v.arrayStorage_ = false;
    return v;
}

bool Variant::IsArray() const noexcept {
    return type_ == VariantType::VariantArray || type_ == VariantType::LongArray ||
           type_ == VariantType::DoubleArray;
}

int32_t Variant::ToLong() const {
    switch (type_) {
        case VariantType::Empty: return 0;
        case VariantType::Boolean: return boolean_ ? -1 : 0;
        case VariantType::Long: return long_;
        case VariantType::Double: return DoubleToLong(double_);
        case VariantType::String: return TextToLong(string_);
        default: RaiseRuntimeError(RuntimeError::TypeMismatch);
    }
}

int32_t Variant::LBound(int dim) const {
    if (type_ == VariantType::DoubleArray) return doubles_.LBound(dim);
    if (!IsArray()) RaiseRuntimeError(RuntimeError::TypeMismatch);
    if (!arrayStorage_ || dim != 1) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    return lower_;
}

int32_t Variant::UBound(int dim) const {
    if (type_ == VariantType::DoubleArray) return doubles_.UBound(dim);
    if (!IsArray()) RaiseRuntimeError(RuntimeError::TypeMismatch);
    if (!arrayStorage_ || dim != 1) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    return static_cast<int32_t>(static_cast<int64_t>(lower_) + static_cast<int64_t>(items_.size()) - 1);
}

std::size_t Variant::ArrayOffset(int32_t index) const {
    if (!IsArray()) RaiseRuntimeError(RuntimeError::TypeMismatch);
    if (!arrayStorage_) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    const int64_t offset = static_cast<int64_t>(index) - lower_;
    if (offset < 0 || offset >= static_cast<int64_t>(items_.size()))
        RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    return static_cast<std::size_t>(offset);
}

Variant Variant::At(int32_t index) const {
    if (type_ == VariantType::DoubleArray) return Variant(doubles_.Get({index}));
    return items_[ArrayOffset(index)];
}

void Variant::SetAt(int32_t index, const Variant& value) {
    if (type_ == VariantType::DoubleArray) {
        double x = 0.0;
        switch (value.type_) {
            case VariantType::Long: x = value.long_; break;
            case VariantType::Double: x = value.double_; break;
            case VariantType::Boolean: x = value.boolean_ ? -1.0 : 0.0; break;
            case VariantType::Empty: break;
            default: RaiseRuntimeError(RuntimeError::TypeMismatch);
        }
        doubles_.Set({index}, x);
        return;
    }
    const std::size_t offset = ArrayOffset(index);
    if (type_ == VariantType::LongArray)
        items_[offset] = Variant(value.ToLong());
    else
        items_[offset] = value;
}

}  // namespace kestrim
