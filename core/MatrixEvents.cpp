// Raising OnProgress and Done to the connected handlers.
#include <algorithm>

#include "core/MatrixAccess.h"

namespace kestrim {

namespace {

// Calls `notify` for every connected handler, in connection order, in the
// caller's floating-point environment. Works on a snapshot because a
// handler may connect or disconnect others; one disconnected meanwhile is
// skipped.
template <class Handlers, class Notify>
void NotifyHandlers(const Handlers& handlers, Notify notify) {
    if (handlers.empty()) return;
    const auto snapshot = handlers;
    for (const auto& [cookie, handler] : snapshot) {
        const bool connected = std::any_of(handlers.begin(), handlers.end(),
                                           [cookie = cookie](const auto& e) { return e.first == cookie; });
        if (!connected) continue;
        MatrixEvents& target = *handler;  // lambdas may not capture a structured binding in C++20
        try {
            fp::RunInCallerEnvironment([&] { notify(target); });
        } catch (...) {
            detail::MarkHandlerException();
            throw;
        }
    }
}

}  // namespace

bool Matrix::RaiseOnProgress(const char* Operation, double Percent, bool& Cancel) {
    fp::TestStep();  // a fault in the work before this point stops the operation first
    const float percent = static_cast<float>(Percent);
    fp::TestStep();
    const std::string operation = Operation;
    NotifyHandlers(handlers_, [&](MatrixEvents& h) { h.OnProgress(operation, percent, Cancel); });
    return Cancel;
}

void Matrix::RaiseDone(const char* Operation) {
    fp::TestStep();
    const std::string operation = Operation;
    NotifyHandlers(handlers_, [&](MatrixEvents& h) { h.Done(operation); });
}

namespace detail {

double ProgressPercent(int32_t i, int32_t rows) noexcept {
    const int64_t done = (static_cast<int64_t>(i) + 1) * 100;
    return static_cast<double>(done) / static_cast<double>(rows);
}

}  // namespace detail
}  // namespace kestrim
