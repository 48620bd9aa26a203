#include "host/runtime/NumberFormat.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace kestrim::format {

std::string FormatFixed(double value, int decimals) {
    if (std::isnan(value)) return "nan";
    const int precision = decimals > 0 ? decimals : 0;
    // Up to 309 integer digits, the sign, the point and the decimals.
    std::vector<char> buffer(static_cast<std::size_t>(precision) + 320);
    // std::to_chars with a precision rounds the exact binary value
    // correctly; exact ties go to even.
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, precision);
    std::string text(buffer.data(), result.ptr);
    if (!text.empty() && text[0] == '-' &&
        text.find_first_not_of("0.", 1) == std::string::npos)
        text.erase(0, 1);  // "-0.000" reads as zero: no sign
    return text;
}

}  // namespace kestrim::format
