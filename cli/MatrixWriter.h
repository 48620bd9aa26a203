// Writes a matrix as CSV (comma-separated rows) or as a Matrix Market
// array file (real general, values column by column).
#pragma once

#include <ostream>
#include <string>

#include "DenseMatrix.h"
#include "ValueFormat.h"

namespace kestrim::cli {

enum class FileFormat { Csv, MatrixMarket };

// A non-empty title is written as a comment: "# title" before CSV rows,
// "% title" after the Matrix Market banner.
void WriteCsv(std::ostream& out, const DenseMatrix& m, const NumberFormat& format,
              const std::string& title = {});
void WriteMatrixMarket(std::ostream& out, const DenseMatrix& m, const NumberFormat& format,
                       const std::string& title = {});
void WriteMatrix(std::ostream& out, const DenseMatrix& m, FileFormat file, const NumberFormat& format,
                 const std::string& title = {});

// The usual file extension: ".csv" or ".mtx".
const char* Extension(FileFormat file);

}  // namespace kestrim::cli
