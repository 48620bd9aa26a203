#include "CsvReader.h"

#include <cstdint>
#include <limits>
#include <string_view>

#include "InputError.h"
#include "ValueParse.h"

namespace kestrim::cli {

namespace {

struct Field {
    std::string text;
    long column = 1;  // 1-based byte column where the field starts
};

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

char ChooseDelimiter(std::string_view line) {
    if (line.find('\t') != std::string_view::npos) return '\t';
    if (line.find(';') != std::string_view::npos) return ';';
    return ',';
}

// Splits one line into fields, trimming spaces (and tabs when they are not
// the delimiter) around each field and removing surrounding quotes.
std::vector<Field> SplitLine(std::string_view line, char delimiter, const std::string& name,
                             long lineNumber) {
    std::vector<Field> fields;
    std::size_t pos = 0;
    auto isPad = [delimiter](char c) { return c == ' ' || (c == '\t' && delimiter != '\t'); };
    while (true) {
        while (pos < line.size() && isPad(line[pos])) ++pos;
        Field field;
        field.column = static_cast<long>(pos) + 1;
        if (pos < line.size() && line[pos] == '"') {
            ++pos;
            while (true) {
                if (pos >= line.size())
                    throw InputError(name, lineNumber, field.column, "unterminated quoted field");
                if (line[pos] == '"') {
                    if (pos + 1 < line.size() && line[pos + 1] == '"') {
                        field.text += '"';
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                field.text += line[pos++];
            }
            while (pos < line.size() && isPad(line[pos])) ++pos;
            if (pos < line.size() && line[pos] != delimiter)
                throw InputError(name, lineNumber, static_cast<long>(pos) + 1,
                                 "unexpected text after a quoted field");
        } else {
            std::size_t end = line.find(delimiter, pos);
            if (end == std::string_view::npos) end = line.size();
            std::size_t last = end;
            while (last > pos && isPad(line[last - 1])) --last;
            field.text.assign(line.substr(pos, last - pos));
            pos = end;
        }
        fields.push_back(std::move(field));
        if (pos >= line.size()) break;
        ++pos;  // the delimiter
    }
    return fields;
}

[[noreturn]] void ReportBadValue(const std::string& name, long lineNumber, const Field& field,
                                 ParseFailure failure) {
    if (field.text.empty()) throw InputError(name, lineNumber, field.column, "empty field");
    throw InputError(name, lineNumber, field.column,
                     (failure == ParseFailure::OutOfRange ? "number out of range: \""
                                                          : "not a number: \"") +
                         field.text + "\"");
}

}  // namespace

DenseMatrix ReadCsv(std::istream& in, const std::string& name, CsvDetails* details) {
    CsvDetails found;
    std::vector<double> rowMajor;  // grows with the data actually present
    std::size_t width = 0;
    std::size_t rows = 0;
    bool firstLine = true;
    long lineNumber = 0;
    std::string line;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string_view view(line);
        if (lineNumber == 1 && view.substr(0, 3) == "\xEF\xBB\xBF") view.remove_prefix(3);
        if (IsBlank(view) || view.front() == '#') continue;
        if (firstLine) found.delimiter = ChooseDelimiter(view);
        std::vector<Field> fields = SplitLine(view, found.delimiter, name, lineNumber);
        if (firstLine) {
            firstLine = false;
            width = fields.size();
            bool allNumbers = true;
            for (const Field& f : fields) allNumbers = allNumbers && !ParseValue(f.text).failure;
            if (!allNumbers) {
                for (Field& f : fields) found.header.push_back(std::move(f.text));
                continue;
            }
        }
        if (fields.size() != width) {
            long column = fields.size() > width ? fields[width].column
                                                : static_cast<long>(view.size()) + 1;
            throw InputError(name, lineNumber, column,
                             "row has " + std::to_string(fields.size()) + " fields, expected " +
                                 std::to_string(width));
        }
        if (rows == static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
            throw InputError(name, lineNumber, 1, "too many rows");
        for (const Field& f : fields) {
            ParsedValue parsed = ParseValue(f.text);
            if (parsed.failure) ReportBadValue(name, lineNumber, f, *parsed.failure);
            rowMajor.push_back(parsed.value);
        }
        ++rows;
    }
    if (in.bad()) throw InputError(name, "read error");
    if (rows == 0)
        throw InputError(name, lineNumber + 1, 1,
                         found.header.empty() ? "no numbers in the file" : "a header but no data rows");
    if (width > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw InputError(name, 1, 1, "too many columns");

    DenseMatrix m;
    m.rows = static_cast<int32_t>(rows);
    m.cols = static_cast<int32_t>(width);
    m.values.resize(rowMajor.size());
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < width; ++c) m.values[c * rows + r] = rowMajor[r * width + c];
    if (details) *details = std::move(found);
    return m;
}

}  // namespace kestrim::cli
