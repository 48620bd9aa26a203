#include "MatrixInfo.h"

#include <algorithm>
#include <cmath>

namespace kestrim::cli {

Norms ComputeNorms(const DenseMatrix& m) {
    Norms n;
    std::vector<double> rowSums(static_cast<std::size_t>(m.rows), 0.0);
    for (int32_t c = 0; c < m.cols; ++c) {
        double colSum = 0;
        for (int32_t r = 0; r < m.rows; ++r) {
            const double a = std::fabs(m.At(r, c));
            colSum += a;
            rowSums[static_cast<std::size_t>(r)] += a;
            n.max = std::max(n.max, a);
        }
        n.one = std::max(n.one, colSum);
    }
    for (double s : rowSums) n.infinity = std::max(n.infinity, s);
    // Scaled by the largest magnitude so that the squares cannot overflow.
    if (n.max > 0 && std::isfinite(n.max)) {
        double sum = 0;
        for (double v : m.values) {
            const double s = v / n.max;
            sum += s * s;
        }
        n.frobenius = n.max * std::sqrt(sum);
    } else {
        n.frobenius = n.max;
    }
    return n;
}

std::string DescribeMatrix(const std::string& file, const DenseMatrix& m, bool symmetric,
                           const std::vector<std::string>& header, const NumberFormat& format) {
    const Norms n = ComputeNorms(m);
    std::string text = "file: " + file + "\n";
    if (!header.empty()) {
        text += "header:";
        for (std::size_t i = 0; i < header.size(); ++i) text += (i ? ", " : " ") + header[i];
        text += "\n";
    }
    text += "rows: " + std::to_string(m.rows) + "\ncols: " + std::to_string(m.cols) + "\n";
    text += std::string("square: ") + (m.rows == m.cols ? "yes" : "no") + "\n";
    text += std::string("symmetric: ") + (symmetric ? "yes" : "no") + "\n";
    const std::pair<const char*, double> norms[] = {
        {"norm-1", n.one}, {"norm-inf", n.infinity}, {"norm-frobenius", n.frobenius}, {"max-abs", n.max}};
    for (const auto& [name, value] : norms) {
        text += std::string(name) + ": ";
        AppendValue(text, value, format);
        text += "\n";
    }
    return text;
}

}  // namespace kestrim::cli
