// GetString and Version.
#include <string>
#include <vector>

#include "core/MatrixAccess.h"
#include "host/runtime/ComponentInfo.h"
#include "host/runtime/NumberFormat.h"

namespace kestrim {

std::string Matrix::GetString(int16_t NumDecimalPlaces, const std::string& EndOfLineChars) const {
    // Formatting does floating-point work: run it in the default
    // environment, so the caller's rounding mode or flush-to-zero cannot
    // change the text and its flags come back untouched.
    detail::OperationScope scope(*this);
    if (!RowsSet || !ColsSet) return "Not initialized";
    // Number formatting follows the rounding mode: use the default one.
    fp::FpScope fpScope;
    RequireStorage();
    const int64_t rows = static_cast<int64_t>(LastRow) + 1;
    const int64_t cols = static_cast<int64_t>(LastCol) + 1;

    // First pass: every cell once, and the longest cell.
    std::vector<std::string> cells(static_cast<std::size_t>(rows * cols));
    std::size_t longest = 0;
    for (int64_t i = 0; i < rows; ++i) {
        for (int64_t j = 0; j < cols; ++j) {
            auto& cell = cells[static_cast<std::size_t>(i * cols + j)];
            cell = format::FormatFixed(Elements.At(static_cast<std::size_t>(i), static_cast<std::size_t>(j)),
                                       NumDecimalPlaces);
            if (cell.size() > longest) longest = cell.size();
        }
    }

    // Second pass: right-align every cell in longest + 1 characters.
    const std::size_t width = longest + 1;
    std::string text;
    text.reserve(static_cast<std::size_t>(rows) * (static_cast<std::size_t>(cols) * width + 3 + EndOfLineChars.size()));
    for (int64_t i = 0; i < rows; ++i) {
        text += '|';
        for (int64_t j = 0; j < cols; ++j) {
            const auto& cell = cells[static_cast<std::size_t>(i * cols + j)];
            text.append(width - cell.size(), ' ');
            text += cell;
        }
        text += " |";
        text += EndOfLineChars;
    }
    return text;
}

std::string Matrix::Version() const {
    return std::to_string(component::kVersionMajor) + "." + std::to_string(component::kVersionMinor) +
           "." + std::to_string(component::kVersionRevision);
}

}  // namespace kestrim
