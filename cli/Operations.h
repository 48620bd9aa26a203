// The tool's operations on library matrices: what each reads, what it
// writes, and how it calls the library.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "DenseMatrix.h"
#include "kestrim/Matrix.h"

namespace kestrim::cli {

struct NamedMatrix {
    std::string name;  // used in output file names: prefix_<name>.csv
    DenseMatrix matrix;
};

struct OperationSpec {
    const char* name;                  // the subcommand
    const char* summary;               // one line for --help
    std::vector<const char*> inputs;   // names of the input files, in order
    std::vector<const char*> outputs;  // names of the results, in order
};

// Every operation that takes matrix files (not `info` or `random`).
const std::vector<OperationSpec>& MatrixOperations();
const OperationSpec* FindOperation(const std::string& name);

// Runs `op` with inputs[0] as the receiver. Returns nothing when the library
// reported the operation as cancelled (an empty result). Library failures
// raise kestrim::Error.
std::optional<std::vector<NamedMatrix>> RunOperation(const OperationSpec& op,
                                                     const std::vector<kestrim::MatrixPtr>& inputs);

}  // namespace kestrim::cli
