// Turns the fuzzer's bytes into the values a hostile caller would pass:
// small dimensions most of the time, and now and then the odd ones
// (zero, negative, the extremes of a Long; NaN, infinities, signed zeros,
// subnormals, the extremes of a Double). An exhausted input reads as zeros,
// so every decoding ends.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace kestrim::fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Exhausted() const noexcept { return size_ == 0; }

    uint8_t Byte() noexcept {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    // A choice among `count` (> 0) alternatives.
    unsigned Pick(unsigned count) noexcept { return Byte() % count; }
    bool Flag() noexcept { return (Byte() & 1) != 0; }

    template <class T>
    T Raw() noexcept {
        unsigned char bytes[sizeof(T)] = {};
        for (auto& b : bytes) b = Byte();
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

    // A row or column count: mostly 1 to 5, sometimes invalid or extreme.
    int32_t Count() noexcept {
        static constexpr int32_t kOdd[] = {0, -1, std::numeric_limits<int32_t>::min(),
                                           std::numeric_limits<int32_t>::max(), 6, 8};
        const unsigned k = Pick(16);
        if (k < 10) return static_cast<int32_t>(k % 5) + 1;
        return kOdd[k - 10];
    }

    // An index or Long argument: small values near the edges of a small
    // matrix, and the extremes.
    int32_t Long() noexcept {
        static constexpr int32_t kOdd[] = {-1, -2, std::numeric_limits<int32_t>::min(),
                                           std::numeric_limits<int32_t>::min() + 1,
                                           std::numeric_limits<int32_t>::max(),
                                           std::numeric_limits<int32_t>::max() - 1};
        const unsigned k = Pick(16);
        if (k < 8) return static_cast<int32_t>(k);
        if (k < 14) return kOdd[k - 8];
        return Raw<int32_t>();
    }

    double Double() noexcept {
        static const double kOdd[] = {
            0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 3.0, 1e-20, 1e300, -1e300,
            DBL_MAX, -DBL_MAX, DBL_MIN, -DBL_MIN, std::numeric_limits<double>::denorm_min(),
            -std::numeric_limits<double>::denorm_min(), 1e-310,
            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
            std::numeric_limits<double>::signaling_NaN(), 2147483647.5, -2147483648.5, 1e10, 0.1};
        constexpr unsigned kCount = sizeof kOdd / sizeof kOdd[0];
        const unsigned k = Pick(kCount + 8);
        if (k < kCount) return kOdd[k];
        if (k < kCount + 6) return static_cast<double>(static_cast<int8_t>(Byte())) / 4.0;
        return Raw<double>();
    }

private:
    const uint8_t* data_;
    std::size_t size_;
};

}  // namespace kestrim::fuzz
