#include "ValueFormat.h"

#include <array>
#include <charconv>
#include <cmath>

namespace kestrim::cli {

void AppendValue(std::string& out, double value, const NumberFormat& format) {
    // Room for the longest fixed rendering: 309 integer digits, the point
    // and kMaxPrecision decimals.
    std::array<char, 448> buffer;
    char* first = buffer.data();
    char* last = buffer.data() + buffer.size();
    std::to_chars_result r{};
    switch (format.style) {
    case NumberStyle::Shortest:
        r = std::to_chars(first, last, value);
        break;
    case NumberStyle::Fixed:
        r = std::to_chars(first, last, value, std::chars_format::fixed, format.precision);
        break;
    case NumberStyle::Hex:
        if (!std::isfinite(value)) {
            r = std::to_chars(first, last, value);
            break;
        }
        // to_chars leaves out the "0x" that readers of hexadecimal floats
        // (C, Python's float.fromhex, this tool) expect; put it after the sign.
        if (std::signbit(value)) *first++ = '-';
        *first++ = '0';
        *first++ = 'x';
        r = std::to_chars(first, last, std::fabs(value), std::chars_format::hex);
        first = buffer.data();
        break;
    }
    out.append(first, r.ptr);
}

std::string FormatValue(double value, const NumberFormat& format) {
    std::string text;
    AppendValue(text, value, format);
    return text;
}

}  // namespace kestrim::cli
