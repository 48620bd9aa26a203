// Where each result goes. Without -o: standard output. With -o and one
// result: that file. With several results: <prefix>_<result><extension>.
// The format is --format, else the extension of -o (".mtx" or ".csv"),
// else CSV; an extension on a prefix is moved to the end of every name.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "MatrixWriter.h"

namespace kestrim::cli {

struct OutputTarget {
    std::string path;  // empty: standard output
    FileFormat format = FileFormat::Csv;
};

std::vector<OutputTarget> PlanOutputs(const std::string& output, const std::optional<FileFormat>& format,
                                      const std::vector<std::string>& resultNames);

}  // namespace kestrim::cli
