#include "host/runtime/FloatingPoint.h"

#include "kestrim/Error.h"

namespace kestrim::fp {

namespace {
// The environment of the code that called the outermost running operation
// on this thread; event handlers run in it.
thread_local const std::fenv_t* callerEnvironment = nullptr;
}  // namespace

FpScope::FpScope() noexcept : outer_(callerEnvironment) {
    std::fegetenv(&saved_);
    if (callerEnvironment == nullptr) callerEnvironment = &saved_;
    std::fesetenv(FE_DFL_ENV);
}

FpScope::~FpScope() {
    callerEnvironment = outer_;
    std::fesetenv(&saved_);
}

void RaiseFault(int flags) {
    ClearFlags();
    if (flags & FE_DIVBYZERO) RaiseRuntimeError(RuntimeError::DivisionByZero);
    if (flags & FE_INVALID) RaiseRuntimeError(RuntimeError::Overflow, kInvalidOperationText);
    RaiseRuntimeError(RuntimeError::Overflow);
}

void EnterCallerEnvironment() noexcept {
    if (callerEnvironment != nullptr) std::fesetenv(callerEnvironment);
}

void LeaveCallerEnvironment() noexcept { std::fesetenv(FE_DFL_ENV); }

}  // namespace kestrim::fp
