// Raising OnProgress and Done to the connected handlers.
#include <algorithm>

#include "core/MatrixAccess.h"

namespace kestrim {

namespace {

template <class Handlers>
bool StillConnected(const Handlers& handlers, Matrix::Cookie cookie) {
    return std::any_of(handlers.begin(), handlers.end(),
                       [cookie](const auto& entry) { return entry.first == cookie; });
}

}  // namespace

bool Matrix::RaiseOnProgress(const char* Operation, double Percent, bool& Cancel) {
    fp::TestStep();  // a fault in the work before this point stops the operation first
    const float percent = static_cast<float>(Percent);
    fp::TestStep();
    // A snapshot: handlers may connect or disconnect others during the event.
    const auto snapshot = handlers_;
    const std::string operation = Operation;
    for (const auto& [cookie, handler] : snapshot) {
        if (!StillConnected(handlers_, cookie)) continue;
        fp::RunInCallerEnvironment([&] { handler->OnProgress(operation, percent, Cancel); });
    }
    return Cancel;
}

void Matrix::RaiseDone(const char* Operation) {
    fp::TestStep();
    const auto snapshot = handlers_;
    const std::string operation = Operation;
    for (const auto& [cookie, handler] : snapshot) {
        if (!StillConnected(handlers_, cookie)) continue;
        fp::RunInCallerEnvironment([&] { handler->Done(operation); });
    }
}

namespace detail {

double ProgressPercent(int32_t i, int32_t rows) noexcept {
    const int64_t done = (static_cast<int64_t>(i) + 1) * 100;
    return static_cast<double>(done) / static_cast<double>(rows);
}

}  // namespace detail
}  // namespace kestrim
