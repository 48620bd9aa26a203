#include "MatrixWriter.h"

namespace kestrim::cli {

namespace {
// Text is built a row (or a block of values) at a time and handed to the
// stream in one piece, which keeps large outputs fast.
constexpr std::size_t kFlushSize = 1 << 16;
}  // namespace

void WriteCsv(std::ostream& out, const DenseMatrix& m, const NumberFormat& format,
              const std::string& title) {
    std::string text;
    if (!title.empty()) text += "# " + title + "\n";
    for (int32_t r = 0; r < m.rows; ++r) {
        for (int32_t c = 0; c < m.cols; ++c) {
            if (c) text += ',';
            AppendValue(text, m.At(r, c), format);
        }
        text += '\n';
        if (text.size() >= kFlushSize) {
            out << text;
            text.clear();
        }
    }
    out << text;
}

void WriteMatrixMarket(std::ostream& out, const DenseMatrix& m, const NumberFormat& format,
                       const std::string& title) {
    std::string text = "%%MatrixMarket matrix array real general\n";
    if (!title.empty()) text += "% " + title + "\n";
    text += std::to_string(m.rows) + ' ' + std::to_string(m.cols) + '\n';
    for (double v : m.values) {
        AppendValue(text, v, format);
        text += '\n';
        if (text.size() >= kFlushSize) {
            out << text;
            text.clear();
        }
    }
    out << text;
}

void WriteMatrix(std::ostream& out, const DenseMatrix& m, FileFormat file, const NumberFormat& format,
                 const std::string& title) {
    if (file == FileFormat::Csv)
        WriteCsv(out, m, format, title);
    else
        WriteMatrixMarket(out, m, format, title);
}

const char* Extension(FileFormat file) { return file == FileFormat::Csv ? ".csv" : ".mtx"; }

}  // namespace kestrim::cli
