#include "host/runtime/Random.h"

#include <charconv>
#include <cmath>
#include <mutex>

#include "kestrim/Error.h"

namespace kestrim::random {

namespace {

// xoshiro128** with a fixed starting state.
struct Xoshiro128 {
    uint32_t s[4] = {0x9E3779B9u, 0x243F6A88u, 0xB7E15162u, 0x6A09E667u};

    static uint32_t Rotl(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

    uint32_t Next() {
        const uint32_t result = Rotl(s[1] * 5, 7) * 9;
        const uint32_t t = s[1] << 9;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = Rotl(s[3], 11);
        return result;
    }
};

std::mutex generatorMutex;
Xoshiro128 generator;

}  // namespace

float NextSingle() noexcept {
    uint32_t bits;
    {
        std::lock_guard<std::mutex> lock(generatorMutex);
        bits = generator.Next();
    }
    // The top 24 bits give every Single of the form k / 2^24 in [0, 1) with
    // equal probability; the conversion is exact.
    return static_cast<float>(bits >> 8) * (1.0f / 16777216.0f);
}

void ResetForTesting() noexcept {
    std::lock_guard<std::mutex> lock(generatorMutex);
    generator = Xoshiro128{};
}

double RoundToDecimals(double value, int decimals) {
    if (decimals < 0) RaiseRuntimeError(RuntimeError::InvalidArgument);
    if (!std::isfinite(value) || decimals > 330) return value;
    // Format with the wanted number of decimals (correctly rounded from the
    // exact binary value, exact ties to even) and read the text back.
    char buffer[700];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value,
                                       std::chars_format::fixed, decimals);
    double rounded = 0.0;
    std::from_chars(buffer, written.ptr, rounded);
    if (rounded == 0.0) rounded = std::copysign(0.0, value);
    return rounded;
}

}  // namespace kestrim::random
