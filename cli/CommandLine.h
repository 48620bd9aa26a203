// The command line: `kestrim <operation> [options] FILE...`, parsed with
// CLI11 into Settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "MatrixWriter.h"
#include "ValueFormat.h"

namespace kestrim::cli {

enum class ProgressChoice { Auto, Always, Never };

struct RandomSettings {
    int32_t rows = 0;
    int32_t cols = 0;
    double low = 0;
    double high = 10;
    int16_t decimals = 0;
};

struct Settings {
    std::string operation;
    std::vector<std::string> files;
    std::string output;                     // -o: a file, or a prefix for several outputs
    std::optional<FileFormat> format;       // --format; otherwise from -o's extension, else CSV
    NumberFormat number;
    ProgressChoice progress = ProgressChoice::Auto;
    uint64_t maxElements = 0;
    std::optional<int> threads;             // --threads; otherwise the library's default
    RandomSettings random;
};

// Parses argv. Returns the settings, or an exit status when the tool must
// stop here (0 after --help or --version, 2 for a usage error, with the
// message already printed).
struct ParseOutcome {
    std::optional<Settings> settings;
    int exitCode = 0;
};
ParseOutcome ParseCommandLine(int argc, char** argv);

}  // namespace kestrim::cli
