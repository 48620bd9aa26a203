#include "ValueParse.h"

#include <charconv>
#include <system_error>

namespace kestrim::cli {

ParsedValue ParseValue(std::string_view text) {
    ParsedValue result;
    // from_chars accepts neither a '+' nor a "0x" prefix, so the sign is
    // taken here and applied to the magnitude (negation is exact).
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::chars_format format = std::chars_format::general;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        format = std::chars_format::hex;
        text.remove_prefix(2);
    }
    if (text.empty() || text.front() == '+' || text.front() == '-') {
        result.failure = ParseFailure::NotANumber;
        return result;
    }
    double magnitude = 0.0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, format);
    if (ec == std::errc::invalid_argument || end != text.data() + text.size()) {
        result.failure = ParseFailure::NotANumber;
    } else if (ec == std::errc::result_out_of_range) {
        result.failure = ParseFailure::OutOfRange;
    } else {
        result.value = negative ? -magnitude : magnitude;
    }
    return result;
}

}  // namespace kestrim::cli
