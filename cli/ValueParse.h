// Reads one number from a field of a matrix file: decimal ("1.5", "-2e-3"),
// hexadecimal floating point as the tool writes it with --hex
// ("-0x1.8p+1"), "inf" and "nan". The whole text must be the number; a
// decimal text is rounded correctly, so shortest output reads back exactly.
#pragma once

#include <optional>
#include <string_view>

namespace kestrim::cli {

enum class ParseFailure { NotANumber, OutOfRange };

struct ParsedValue {
    double value = 0.0;
    std::optional<ParseFailure> failure;  // empty on success
};

ParsedValue ParseValue(std::string_view text);

}  // namespace kestrim::cli
