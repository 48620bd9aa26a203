// The tool's event handler. It turns Ctrl-C into the operation's Cancel
// flag and, when enabled, shows progress on stderr: a redrawn bar with the
// operation's name, percent and elapsed time on a terminal, or one plain line
// per ten percent otherwise (--progress always into a log). Nothing goes to
// stdout.
#pragma once

#include <chrono>
#include <string>

#include "kestrim/MatrixEvents.h"

namespace kestrim::cli {

enum class ProgressMode { Off, Bar, Lines };

class ProgressReporter : public kestrim::MatrixEvents {
public:
    explicit ProgressReporter(ProgressMode mode);
    ~ProgressReporter() override;

    void OnProgress(const std::string& Operation, float Percent, bool& Cancel) override;
    void Done(const std::string& Operation) override;
    // Clears a bar left on the terminal (after a cancel or an error).
    void Clear();

private:
    double Elapsed() const;

    ProgressMode mode_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_{};
    std::string lastOperation_;
    int lastStep_ = -1;
    bool barShown_ = false;
};

}  // namespace kestrim::cli
