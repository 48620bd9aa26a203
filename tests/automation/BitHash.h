// Digests of result matrices for the bit-identity cases. The same digest is
// computed by the native reference program, the compiled client and the
// script suites, so it uses only what a script engine can do exactly with
// Doubles: each nonzero element is split into its sign, exponent and 53-bit
// significand (two 26/27-bit halves), and the numbers are folded into
// h = (h * 1000003 + v) mod 2147483647, whose intermediates stay below 2^53.
// The value digest cannot see the sign of a zero (VBScript cannot either);
// the bits digest folds the raw 64-bit patterns and sees every bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace bithash {

constexpr double kModulus = 2147483647.0;
constexpr double kBase = 1000003.0;

class Digest {
public:
    void Feed(double v) {
        const double t = value_ * kBase + v;
        double r = t - std::floor(t / kModulus) * kModulus;
        if (r < 0) r += kModulus;
        if (r >= kModulus) r -= kModulus;
        value_ = r;
    }
    // One element: 0 for a zero of either sign, else sign (1 negative,
    // 2 positive), exponent + 1100 and the significand m = hi * 2^26 + lo
    // with 2^52 <= m < 2^53 and |x| = m * 2^exponent.
    void Element(double x) {
        if (x == 0) {
            Feed(0);
            return;
        }
        int k = 0;
        const double f = std::frexp(std::fabs(x), &k);  // |x| = f * 2^k, 0.5 <= f < 1
        const double m = std::ldexp(f, 53);
        const double hi = std::floor(m / 67108864.0);
        Feed(x < 0 ? 1 : 2);
        Feed(k - 53 + 1100);
        Feed(hi);
        Feed(m - hi * 67108864.0);
    }
    double Value() const { return value_; }

private:
    double value_ = 0;
};

// The raw 64-bit pattern, folded as four 16-bit pieces.
inline void FeedBits(Digest& digest, double x) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    for (int shift = 48; shift >= 0; shift -= 16) digest.Feed(static_cast<double>((bits >> shift) & 0xFFFF));
}

// Both digests of a rows x cols matrix read by at(i, j), row by row.
struct Digests {
    double value, bits;
};
template <class At>
Digests OfMatrix(long rows, long cols, At at) {
    Digest value, bits;
    for (Digest* d : {&value, &bits}) {
        d->Feed(static_cast<double>(rows));
        d->Feed(static_cast<double>(cols));
    }
    for (long i = 0; i < rows; ++i)
        for (long j = 0; j < cols; ++j) {
            const double x = at(i, j);
            value.Element(x);
            FeedBits(bits, x);
        }
    return {value.Value(), bits.Value()};
}

}  // namespace bithash
