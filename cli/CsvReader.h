// Reads a matrix from delimited text: one row per line, fields separated by
// ',' ';' or tab (the first line decides, preferring tab, then ';'). A first
// line that is not all numbers is a header: its names are returned so the
// caller can report them. Blank lines and comment lines (starting with '#',
// as the tool writes titles) are skipped; quoted fields ("...") are unquoted. Every row must have as many fields as the first.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "DenseMatrix.h"

namespace kestrim::cli {

struct CsvDetails {
    char delimiter = ',';
    std::vector<std::string> header;  // empty when the file has none
};

// `name` is used in error messages (file:line:column).
DenseMatrix ReadCsv(std::istream& in, const std::string& name, CsvDetails* details = nullptr);

}  // namespace kestrim::cli
