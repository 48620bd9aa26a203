// Turns a library error into the tool's one-line message and exit status:
// the library's own numbered errors exit with 4, the runtime's (overflow,
// division by zero, out of memory, ...) with 5.
#pragma once

#include <string>

#include "kestrim/Error.h"

namespace kestrim::cli {

int ExitCodeFor(const kestrim::Error& error);
// "error 0x8004051E: KestrimMatrixLib.Matrix Error Number: 1306: Matrix can not be inverted."
std::string DescribeError(const kestrim::Error& error);

}  // namespace kestrim::cli
