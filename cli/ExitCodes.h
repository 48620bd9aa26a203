// The tool's exit statuses, one per kind of outcome, so that scripts can
// tell a typo on the command line from a bad file or a singular matrix.
#pragma once

namespace kestrim::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,      // command line not understood
    kExitInput = 3,      // a file could not be read or written, or its contents are invalid
    kExitLibrary = 4,    // the library's own numbered errors (singular matrix, wrong sizes, ...)
    kExitRuntime = 5,    // runtime errors: overflow, division by zero, out of memory, ...
    kExitCancelled = 130,  // interrupted with Ctrl-C (128 + SIGINT)
};

}  // namespace kestrim::cli
