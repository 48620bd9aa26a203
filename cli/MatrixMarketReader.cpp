#include "MatrixMarketReader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <string_view>
#include <vector>

#include "InputError.h"
#include "ValueParse.h"

namespace kestrim::cli {

namespace {

struct Token {
    std::string_view text;
    long column = 1;
};

std::vector<Token> Tokenize(std::string_view line) {
    std::vector<Token> tokens;
    std::size_t pos = 0;
    while (true) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string_view::npos) break;
        std::size_t end = std::min(line.find_first_of(" \t", pos), line.size());
        tokens.push_back({line.substr(pos, end - pos), static_cast<long>(pos) + 1});
        pos = end;
    }
    return tokens;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Reads lines, skipping comments and blank lines, keeping the line number.
class LineSource {
public:
    LineSource(std::istream& in, const std::string& name) : in_(in), name_(name) {}

    // The next line with content; false at the end of the file.
    bool Next(std::vector<Token>& tokens) {
        while (std::getline(in_, line_)) {
            ++number_;
            if (!line_.empty() && line_.back() == '\r') line_.pop_back();
            if (!line_.empty() && line_[0] == '%') continue;
            tokens = Tokenize(line_);
            if (!tokens.empty()) return true;
        }
        if (in_.bad()) throw InputError(name_, "read error");
        return false;
    }
    bool NextRaw(std::string& line) {
        if (!std::getline(in_, line)) return false;
        ++number_;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }
    long Number() const { return number_; }
    [[noreturn]] void Fail(long column, const std::string& message) const {
        throw InputError(name_, number_, column, message);
    }
    [[noreturn]] void FailAtEnd(const std::string& message) const {
        throw InputError(name_, number_ + 1, 1, message);
    }

private:
    std::istream& in_;
    const std::string& name_;
    std::string line_;
    long number_ = 0;
};

uint64_t ParseCount(const LineSource& src, const Token& token, const char* what) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(token.text.data(), token.text.data() + token.text.size(), value);
    if (ec == std::errc::result_out_of_range)
        src.Fail(token.column, std::string(what) + " too large: " + std::string(token.text));
    if (ec != std::errc() || end != token.text.data() + token.text.size())
        src.Fail(token.column, std::string(what) + " is not a whole number: \"" +
                                   std::string(token.text) + "\"");
    return value;
}

double ParseEntry(const LineSource& src, const Token& token) {
    ParsedValue parsed = ParseValue(token.text);
    if (parsed.failure)
        src.Fail(token.column, (*parsed.failure == ParseFailure::OutOfRange ? "number out of range: \""
                                                                            : "not a number: \"") +
                                   std::string(token.text) + "\"");
    return parsed.value;
}

struct Header {
    bool coordinate = false;
    bool symmetric = false;
};

Header ReadBanner(LineSource& src) {
    std::string line;
    if (!src.NextRaw(line)) src.FailAtEnd("empty file");
    std::vector<Token> t = Tokenize(line);
    if (t.empty() || Lower(t[0].text) != "%%matrixmarket")
        src.Fail(1, "not a Matrix Market file (the first line must start with %%MatrixMarket)");
    if (t.size() != 5) src.Fail(t[0].column, "the banner needs: matrix <format> <field> <symmetry>");
    if (Lower(t[1].text) != "matrix") src.Fail(t[1].column, "only \"matrix\" objects are supported");
    Header h;
    std::string format = Lower(t[2].text), field = Lower(t[3].text), symmetry = Lower(t[4].text);
    if (format != "coordinate" && format != "array")
        src.Fail(t[2].column, "format must be coordinate or array, not \"" + std::string(t[2].text) + "\"");
    if (field != "real" && field != "integer")
        src.Fail(t[3].column, "only real (or integer) matrices are supported, not \"" +
                                  std::string(t[3].text) + "\"");
    if (symmetry != "general" && symmetry != "symmetric")
        src.Fail(t[4].column, "symmetry must be general or symmetric, not \"" +
                                  std::string(t[4].text) + "\"");
    h.coordinate = format == "coordinate";
    h.symmetric = symmetry == "symmetric";
    return h;
}

struct Entry {
    uint32_t row, col;
    double value;
    long line;
};

}  // namespace

DenseMatrix ReadMatrixMarket(std::istream& in, const std::string& name, uint64_t maxElements) {
    LineSource src(in, name);
    const Header header = ReadBanner(src);

    std::vector<Token> t;
    if (!src.Next(t)) src.FailAtEnd("missing size line");
    const std::size_t sizeFields = header.coordinate ? 3 : 2;
    if (t.size() != sizeFields)
        src.Fail(t[0].column, header.coordinate ? "the size line needs: rows columns entries"
                                                : "the size line needs: rows columns");
    const uint64_t rows = ParseCount(src, t[0], "row count");
    const uint64_t cols = ParseCount(src, t[1], "column count");
    const uint64_t int32Max = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    if (rows == 0 || rows > int32Max) src.Fail(t[0].column, "row count must be 1 to 2147483647");
    if (cols == 0 || cols > int32Max) src.Fail(t[1].column, "column count must be 1 to 2147483647");
    if (header.symmetric && rows != cols) src.Fail(t[0].column, "a symmetric matrix must be square");
    // rows and cols are below 2^31, so the product fits in 64 bits.
    if (rows * cols > maxElements)
        src.Fail(t[0].column, "declared size " + std::to_string(rows) + " x " + std::to_string(cols) +
                                  " exceeds the limit of " + std::to_string(maxElements) +
                                  " elements (see --max-elements)");
    const uint64_t stored = header.symmetric ? rows * (rows + 1) / 2 : rows * cols;

    DenseMatrix m;
    m.rows = static_cast<int32_t>(rows);
    m.cols = static_cast<int32_t>(cols);

    if (!header.coordinate) {
        // Column-major values; a symmetric file lists the lower triangle.
        std::vector<double> values;
        while (src.Next(t)) {
            for (const Token& token : t) {
                if (values.size() == stored)
                    src.Fail(token.column, "more values than the declared " + std::to_string(stored));
                values.push_back(ParseEntry(src, token));
            }
        }
        if (values.size() != stored)
            src.FailAtEnd("file ends after " + std::to_string(values.size()) + " of " +
                          std::to_string(stored) + " values");
        m.values.assign(rows * cols, 0.0);
        std::size_t k = 0;
        for (int32_t c = 0; c < m.cols; ++c)
            for (int32_t r = header.symmetric ? c : 0; r < m.rows; ++r) {
                m.At(r, c) = values[k];
                if (header.symmetric) m.At(c, r) = values[k];
                ++k;
            }
        return m;
    }

    const uint64_t declared = ParseCount(src, t[2], "entry count");
    if (declared > stored)
        src.Fail(t[2].column, "entry count " + std::to_string(declared) + " exceeds the " +
                                  std::to_string(stored) + " positions of the matrix");
    std::vector<Entry> entries;
    while (src.Next(t)) {
        if (entries.size() == declared)
            src.Fail(t[0].column, "more entries than the declared " + std::to_string(declared));
        if (t.size() != 3) src.Fail(t[0].column, "an entry needs: row column value");
        const uint64_t r = ParseCount(src, t[0], "row index");
        const uint64_t c = ParseCount(src, t[1], "column index");
        if (r == 0 || r > rows) src.Fail(t[0].column, "row index out of range 1.." + std::to_string(rows));
        if (c == 0 || c > cols) src.Fail(t[1].column, "column index out of range 1.." + std::to_string(cols));
        if (header.symmetric && c > r)
            src.Fail(t[1].column, "a symmetric file lists only the lower triangle (row >= column)");
        entries.push_back({static_cast<uint32_t>(r - 1), static_cast<uint32_t>(c - 1),
                           ParseEntry(src, t[2]), src.Number()});
    }
    if (entries.size() != declared)
        src.FailAtEnd("file ends after " + std::to_string(entries.size()) + " of " +
                      std::to_string(declared) + " entries");
    // A position given twice is ambiguous (replace or add?): refuse it.
    std::vector<std::size_t> order(entries.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto key = [&](std::size_t i) { return std::pair(entries[i].col, entries[i].row); };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
    for (std::size_t i = 1; i < order.size(); ++i)
        if (key(order[i]) == key(order[i - 1]))
            throw InputError(name, entries[order[i]].line, 1,
                             "entry (" + std::to_string(entries[order[i]].row + 1) + ", " +
                                 std::to_string(entries[order[i]].col + 1) + ") given twice");
    m.values.assign(rows * cols, 0.0);
    for (const Entry& e : entries) {
        m.At(static_cast<int32_t>(e.row), static_cast<int32_t>(e.col)) = e.value;
        if (header.symmetric) m.At(static_cast<int32_t>(e.col), static_cast<int32_t>(e.row)) = e.value;
    }
    return m;
}

}  // namespace kestrim::cli
