// kestrim: runs one library operation on matrix files and writes the
// results. See `kestrim --help`.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <new>

#include "CommandLine.h"
#include "ErrorReport.h"
#include "ExitCodes.h"
#include "InputError.h"
#include "Interrupt.h"
#include "MatrixConvert.h"
#include "MatrixInfo.h"
#include "MatrixReader.h"
#include "Operations.h"
#include "OutputFiles.h"
#include "OutputNames.h"
#include "ProgressReporter.h"
#include "kestrim/Threading.h"

namespace kestrim::cli {
namespace {

void Complain(const std::string& message) { std::cerr << "kestrim: " << message << std::endl; }

int Cancelled(OutputFiles& files) {
    files.Discard();
    std::cout.flush();
    std::cerr << "cancelled" << std::endl;
    return kExitCancelled;
}

ProgressMode ChooseProgress(ProgressChoice choice) {
    switch (choice) {
    case ProgressChoice::Always:
        return isatty(STDERR_FILENO) ? ProgressMode::Bar : ProgressMode::Lines;
    case ProgressChoice::Never:
        return ProgressMode::Off;
    case ProgressChoice::Auto:
        break;
    }
    return isatty(STDERR_FILENO) ? ProgressMode::Bar : ProgressMode::Off;
}

// The results of one run: matrices, or the text of `info`.
struct Results {
    std::vector<NamedMatrix> matrices;
    std::string text;
};

// Runs the operation; nothing when it was cancelled.
std::optional<Results> Compute(const Settings& s, const std::shared_ptr<ProgressReporter>& reporter) {
    Results results;
    if (s.operation == "random") {
        auto m = kestrim::Matrix::New();
        m->Size(s.random.rows, s.random.cols);
        m->Connect(reporter);
        m->SetFireEvents(true);
        m->FillRandom(s.random.low, s.random.high, s.random.decimals);
        results.matrices.push_back({"random", FromMatrix(*m)});
        return results;
    }
    std::vector<MatrixFile> files;
    std::vector<kestrim::MatrixPtr> inputs;
    for (const std::string& path : s.files) {
        files.push_back(ReadMatrixFile(path, s.maxElements));
        const auto& header = files.back().header;
        if (!header.empty()) {
            std::string names;
            for (const std::string& h : header) names += (names.empty() ? "" : ", ") + h;
            Complain(path + ": first line read as a header (" + names + ")");
        }
        inputs.push_back(ToMatrix(files.back().matrix));
    }
    if (InterruptRequested()) return std::nullopt;
    if (s.operation == "info") {
        results.text = DescribeMatrix(s.files[0], files[0].matrix, inputs[0]->IsSymmetric(),
                                      files[0].header, s.number);
        return results;
    }
    // Events stay on even without a progress display: Ctrl-C cancels
    // through them.
    inputs[0]->Connect(reporter);
    inputs[0]->SetFireEvents(true);
    auto matrices = RunOperation(*FindOperation(s.operation), inputs);
    if (!matrices) return std::nullopt;
    results.matrices = std::move(*matrices);
    return results;
}

void WriteResults(const Settings& s, const Results& results, OutputFiles& files) {
    if (!results.text.empty()) {
        if (s.output.empty())
            std::cout << results.text;
        else
            files.Stage(s.output, [&](std::ostream& out) { out << results.text; });
        return;
    }
    std::vector<std::string> names;
    for (const NamedMatrix& m : results.matrices) names.push_back(m.name);
    const std::vector<OutputTarget> targets = PlanOutputs(s.output, s.format, names);
    const bool titled = results.matrices.size() > 1;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const NamedMatrix& m = results.matrices[i];
        if (targets[i].path.empty()) {
            if (i) std::cout << '\n';
            WriteMatrix(std::cout, m.matrix, targets[i].format, s.number, titled ? m.name : "");
        } else {
            files.Stage(targets[i].path,
                        [&](std::ostream& out) { WriteMatrix(out, m.matrix, targets[i].format, s.number); });
        }
    }
}

int Run(const Settings& s) {
    if (s.threads) kestrim::SetNumThreads(*s.threads);
    auto reporter = std::make_shared<ProgressReporter>(ChooseProgress(s.progress));
    OutputFiles files;
    try {
        std::optional<Results> results = Compute(s, reporter);
        reporter->Clear();
        if (!results || InterruptRequested()) return Cancelled(files);
        WriteResults(s, *results, files);
        if (InterruptRequested()) return Cancelled(files);
        files.Commit();
        std::cout.flush();
        if (!std::cout) throw InputError("<stdout>", "write error");
        return kExitOk;
    } catch (const InputError& e) {
        reporter->Clear();
        Complain(e.what());
        return kExitInput;
    } catch (const kestrim::Error& e) {
        reporter->Clear();
        // A cancelled decomposition may leave outputs that cannot be read.
        if (InterruptRequested()) return Cancelled(files);
        Complain(s.operation + ": " + DescribeError(e));
        return ExitCodeFor(e);
    } catch (const std::bad_alloc&) {
        reporter->Clear();
        Complain(s.operation + ": out of memory");
        return kExitRuntime;
    }
}

}  // namespace
}  // namespace kestrim::cli

int main(int argc, char** argv) {
    using namespace kestrim::cli;
    InstallInterruptHandler();
    ParseOutcome parsed = ParseCommandLine(argc, argv);
    if (!parsed.settings) return parsed.exitCode;
    return Run(*parsed.settings);
}
