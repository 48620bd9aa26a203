// The one place where failures of the standard library become documented
// errors: every public member of Matrix ends in a handler that calls
// RethrowAsDocumented.
#include <exception>
#include <new>

#include "core/MatrixAccess.h"

namespace kestrim::detail {

namespace {
// The exception that an event handler threw last on this thread, on its
// way out of the raising operation. Kept as an exception_ptr, so the
// object stays alive and cannot be confused with a later one.
thread_local std::exception_ptr handlerException;
}  // namespace

void MarkHandlerException() noexcept { handlerException = std::current_exception(); }

void RethrowAsDocumented() {
    const std::exception_ptr current = std::current_exception();
    if (current == handlerException) {
        // A handler's own exception reaches the caller as it was thrown.
        handlerException = nullptr;
        throw;
    }
    try {
        throw;
    } catch (const Error&) {
        throw;
    } catch (...) {
        // Storage that cannot be obtained (bad_alloc, length_error) or any
        // other resource the library could not get: the runtime's
        // out-of-memory error, the one documented error for exhaustion.
    }
    RaiseRuntimeError(RuntimeError::OutOfMemory);
}

}  // namespace kestrim::detail
