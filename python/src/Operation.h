// Runs one library call for Python: claims the matrices involved for this
// thread, refuses to resize storage that a buffer view still points into,
// releases the GIL while the library computes, and re-raises an exception
// that a handler (or Ctrl-C) left pending once the call has stopped.
#pragma once

#include <initializer_list>
#include <type_traits>
#include <utility>
#include <vector>

#include "PyMatrix.h"

namespace kestrim::python {

// The matrices a call touches. `writes` are those whose storage the call
// may replace (the receiver of an in-place member, decomposition outputs).
struct Involved {
    std::vector<PyMatrix*> reads;
    std::vector<PyMatrix*> writes;
};

// Marks matrices as in use by this thread for the duration of a call.
class Claim {
public:
    Claim(PyMatrix& receiver, bool receiverWritten, const Involved& others);
    ~Claim();
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

private:
    std::vector<PyMatrix*> claimed_;
};

// Pushes the receiver's operation frame and, for the numerical operations,
// holds its event switch on so that a pending Ctrl-C can cancel them.
class FrameScope {
public:
    FrameScope(PyMatrix& receiver, EventMode mode);
    ~FrameScope();
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
    // Throws the exception a handler left pending, if any.
    void RethrowPending();

private:
    PyMatrix& receiver_;
    bool active_;
};

// Runs `body` (plain C++ over the library, no Python) without the GIL.
template <class Body>
auto RunOperation(PyMatrix& receiver, bool receiverWritten, const Involved& others, EventMode mode,
                  Body&& body) -> decltype(body()) {
    Claim claim(receiver, receiverWritten, others);
    FrameScope frame(receiver, mode);
    using Result = decltype(body());
    try {
        if constexpr (std::is_void_v<Result>) {
            {
                py::gil_scoped_release nogil;
                body();
            }
            frame.RethrowPending();
        } else {
            Result result = [&] {
                py::gil_scoped_release nogil;
                return body();
            }();
            frame.RethrowPending();
            return result;
        }
    } catch (py::error_already_set&) {
        throw;
    } catch (...) {
        // A handler's exception (Ctrl-C included) is what stopped the call.
        frame.RethrowPending();
        throw;
    }
}

}  // namespace kestrim::python
