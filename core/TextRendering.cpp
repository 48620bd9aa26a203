// GetString and Version.
#include <cstdint>
#include <string>
#include <vector>

#include "core/MatrixAccess.h"
#include "host/runtime/ComponentInfo.h"
#include "host/runtime/NumberFormat.h"

namespace kestrim {

namespace {

// Length of the rendering: rows lines of "|", cols cells of `width`
// characters, " |" and the line end. A String's length is a Long, so a
// text longer than 2147483647 characters cannot be held: the out-of-memory
// error, raised before any storage is requested. Every step is checked, so
// no product can wrap whatever the counts and the line end.
std::size_t TextLength(int64_t rows, int64_t cols, std::size_t width, std::size_t endOfLine) {
    constexpr uint64_t kMaxLength = 2147483647;
    uint64_t cellsPerLine = 0, line = 0, total = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(cols), static_cast<uint64_t>(width), &cellsPerLine) ||
        __builtin_add_overflow(cellsPerLine, uint64_t{3} + endOfLine, &line) ||
        __builtin_mul_overflow(static_cast<uint64_t>(rows), line, &total) || total > kMaxLength)
        RaiseRuntimeError(RuntimeError::OutOfMemory);
    return static_cast<std::size_t>(total);
}

}  // namespace

std::string Matrix::GetString(int16_t NumDecimalPlaces, const std::string& EndOfLineChars) const try {
    // Formatting does floating-point work: run it in the default
    // environment, so the caller's rounding mode or flush-to-zero cannot
    // change the text and its flags come back untouched.
    detail::OperationScope scope(*this);
    if (!RowsSet || !ColsSet) return "Not initialized";
    RequireStorage();
    const int64_t rows = static_cast<int64_t>(LastRow) + 1;
    const int64_t cols = static_cast<int64_t>(LastCol) + 1;

    // Every cell is at least one digit wide, so the text is at least this long.
    TextLength(rows, cols, 2, EndOfLineChars.size());

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
    text.reserve(TextLength(rows, cols, width, EndOfLineChars.size()));
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
} catch (...) {
    detail::RethrowAsDocumented();
}

std::string Matrix::Version() const try {
    return std::to_string(component::kVersionMajor) + "." + std::to_string(component::kVersionMinor) +
           "." + std::to_string(component::kVersionRevision);
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
