#include "ProgressReporter.h"

#include <cstdio>

#include "Interrupt.h"

namespace kestrim::cli {

namespace {
constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
}  // namespace

ProgressReporter::ProgressReporter(ProgressMode mode)
    : mode_(mode), start_(std::chrono::steady_clock::now()) {}

ProgressReporter::~ProgressReporter() { Clear(); }

double ProgressReporter::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressReporter::OnProgress(const std::string& Operation, float Percent, bool& Cancel) {
    if (InterruptRequested()) {
        Cancel = true;
        return;
    }
    if (mode_ == ProgressMode::Off) return;
    const bool newOperation = Operation != lastOperation_;
    lastOperation_ = Operation;
    if (mode_ == ProgressMode::Lines) {
        const int step = static_cast<int>(Percent / 10);
        if (!newOperation && step == lastStep_) return;
        lastStep_ = step;
        std::fprintf(stderr, "%s %5.1f%% %.1fs\n", Operation.c_str(), static_cast<double>(Percent), Elapsed());
        std::fflush(stderr);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!newOperation && Percent < 100 && now - lastDraw_ < kRedrawInterval) return;
    lastDraw_ = now;
    const int filled = static_cast<int>(Percent / 100 * kBarWidth);
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '-';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r\033[K%s [%s] %5.1f%% %.1fs", Operation.c_str(), bar,
                 static_cast<double>(Percent), Elapsed());
    std::fflush(stderr);
    barShown_ = true;
}

void ProgressReporter::Done(const std::string&) { Clear(); }

void ProgressReporter::Clear() {
    if (!barShown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    barShown_ = false;
}

}  // namespace kestrim::cli
