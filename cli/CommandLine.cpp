#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>

#include "ExitCodes.h"
#include "MatrixReader.h"
#include "Operations.h"
#include "kestrim/Matrix.h"

#ifndef KESTRIM_TOOL_VERSION
#error "KESTRIM_TOOL_VERSION must be defined by the build"
#endif

namespace kestrim::cli {

namespace {

const char* kFooter = R"(Files: delimited text (',' ';' or tab; a header line is detected) or
Matrix Market (.mtx, coordinate or array, real general or symmetric).
"-" reads standard input. Results go to standard output, or with -o to a
file; operations with several results write one file each, named
<prefix>_<result>.csv (or .mtx).

Examples:
  kestrim solve A.csv b.csv                solve A x = b, print x as CSV
  kestrim solve A.mtx b.mtx -o x.mtx       write x as Matrix Market
  kestrim lu A.csv -o out                  out_L.csv out_U.csv out_P.csv out_sign.csv
  kestrim eigen A.csv --hex -o eig         exact hexadecimal values in eig_*.csv
  kestrim det A.csv --precision 4          determinant with 4 decimals
  kestrim random 3 3 --high 1 --decimals 2 > R.csv
  kestrim info A.csv                       size, symmetry, norms
  kestrim eigen big.csv --threads 4        use four threads (same bits as one)

Exit status: 0 success, 2 usage, 3 file problem, 4 the library's own error
(singular matrix, wrong sizes, ...), 5 runtime error (overflow, division by
zero, out of memory), 130 cancelled with Ctrl-C (a second Ctrl-C quits at once).)";

std::string VersionText() {
    return std::string("kestrim ") + KESTRIM_TOOL_VERSION + " (matrix library " +
           kestrim::Matrix::New()->Version() + ")";
}

void AddSharedOptions(CLI::App& app, Settings& s, bool& hex, std::optional<int>& precision,
                      std::string& format, std::string& progress) {
    app.add_option("-o,--output", s.output,
                   "write to this file (one result) or use it as the file-name prefix (several)");
    app.add_option("--format", format, "output format (default: from -o's extension, else csv)")
        ->check(CLI::IsMember({"csv", "mtx"}));
    auto* hexFlag = app.add_flag("--hex", hex, "write exact hexadecimal floating point (0x1.8p+1)");
    app.add_option("--precision", precision, "write N fixed decimals instead of the shortest exact decimal")
        ->check(CLI::Range(0, kMaxPrecision))
        ->excludes(hexFlag);
    app.add_option("--progress", progress, "progress on stderr: auto (when a terminal), always, never")
        ->check(CLI::IsMember({"auto", "always", "never"}));
    app.add_option("--max-elements", s.maxElements,
                   "refuse matrix files that declare more elements than this")
        ->check(CLI::PositiveNumber);
    app.add_option("--threads", s.threads,
                   "threads for the heavy operations (default: KESTRIM_NUM_THREADS, else every core); "
                   "results are the same bits at every count")
        ->check(CLI::Range(1, 1024));
}

}  // namespace

ParseOutcome ParseCommandLine(int argc, char** argv) {
    Settings s;
    s.maxElements = kDefaultMaxElements;
    bool hex = false;
    std::optional<int> precision;
    std::string format, progress = "auto";

    CLI::App app{"kestrim: dense linear algebra on matrix files, reproducible to the last bit", "kestrim"};
    app.footer(kFooter);
    app.set_version_flag("--version", VersionText());
    app.require_subcommand(1);
    app.fallthrough();
    AddSharedOptions(app, s, hex, precision, format, progress);

    for (const OperationSpec& op : MatrixOperations()) {
        CLI::App* sub = app.add_subcommand(op.name, op.summary);
        std::string names;
        for (const char* in : op.inputs) names += std::string(names.empty() ? "" : " ") + in;
        sub->add_option("files", s.files, "input files: " + names)
            ->required()
            ->expected(static_cast<int>(op.inputs.size()));
    }
    app.add_subcommand("info", "size, squareness, symmetry and norms of A")
        ->add_option("files", s.files, "input file: A")
        ->required()
        ->expected(1);
    CLI::App* random = app.add_subcommand("random", "a ROWS x COLS matrix of uniform random values");
    random->add_option("rows", s.random.rows, "number of rows")->required()->check(CLI::Range(1, INT32_MAX));
    random->add_option("cols", s.random.cols, "number of columns")->required()->check(CLI::Range(1, INT32_MAX));
    random->add_option("--low", s.random.low, "smallest value (default 0)");
    random->add_option("--high", s.random.high, "upper end of the range (default 10)");
    random->add_option("--decimals", s.random.decimals, "round to this many decimals (default 0)")
        ->check(CLI::Range(0, 15));

    ParseOutcome outcome;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        outcome.exitCode = code == 0 ? kExitOk : kExitUsage;
        return outcome;
    }
    s.operation = app.get_subcommands().front()->get_name();
    if (s.operation == "random" &&
        static_cast<uint64_t>(s.random.rows) * static_cast<uint64_t>(s.random.cols) > s.maxElements) {
        std::cerr << "kestrim: random: " << s.random.rows << " x " << s.random.cols
                  << " exceeds the limit of " << s.maxElements << " elements (see --max-elements)\n";
        outcome.exitCode = kExitUsage;
        return outcome;
    }
    if (hex) s.number.style = NumberStyle::Hex;
    if (precision) {
        s.number.style = NumberStyle::Fixed;
        s.number.precision = *precision;
    }
    if (!format.empty()) s.format = format == "mtx" ? FileFormat::MatrixMarket : FileFormat::Csv;
    static const std::map<std::string, ProgressChoice> choices = {
        {"auto", ProgressChoice::Auto}, {"always", ProgressChoice::Always}, {"never", ProgressChoice::Never}};
    s.progress = choices.at(progress);
    outcome.settings = std::move(s);
    return outcome;
}

}  // namespace kestrim::cli
