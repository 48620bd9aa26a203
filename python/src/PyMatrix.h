// The Python-side state of one kestrim::Matrix: the object itself, its
// Python event handlers, the FireEvents value Python sees, live buffer
// views, and which thread is running an operation on it.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kestrim/Matrix.h"

namespace kestrim::python {

namespace py = pybind11;

struct PyMatrix;

// How an operation reads FireEvents: once when it starts (elementwise
// operations) or afresh at every event (the numerical operations).
enum class EventMode { None, AtStart, Live };

// One running event-raising operation on a receiver.
struct OperationFrame {
    EventMode mode = EventMode::None;
    bool fireAtStart = false;
    // The object's own event switch is held on for this call (see FrameScope).
    bool forced = false;
    // The first exception a handler raised (or a pending Ctrl-C): the
    // operation is cancelled and this is re-raised once it has stopped.
    std::optional<py::error_already_set> pending;
};

// The one C++ handler connected to each Matrix. It forwards events to the
// Python handlers (taking the GIL only then), and turns a pending Ctrl-C
// into a cancel.
class EventBridge : public MatrixEvents {
public:
    explicit EventBridge(PyMatrix* owner) : owner_(owner) {}
    void Detach() noexcept { owner_ = nullptr; }
    void OnProgress(const std::string& Operation, float Percent, bool& Cancel) override;
    void Done(const std::string& Operation) override;

private:
    bool SignalCheckDue();
    PyMatrix* owner_;
    std::chrono::steady_clock::time_point lastSignalCheck_{};
};

struct PyMatrix {
    explicit PyMatrix(MatrixPtr matrix);
    ~PyMatrix();
    PyMatrix(const PyMatrix&) = delete;
    PyMatrix& operator=(const PyMatrix&) = delete;

    MatrixPtr m;
    std::shared_ptr<EventBridge> bridge;
    Matrix::Cookie bridgeCookie = 0;

    // Handlers as (cookie, on_progress, on_done, takes_cancel) tuples, in
    // connection order. Visited by the garbage collector.
    py::list handlers;
    uint32_t nextCookie = 1;

    // FireEvents as Python sees it. While a numerical operation runs, the
    // object's own switch is held on so that Ctrl-C can cancel it.
    bool fireEvents = false;
    // Live buffer views (numpy arrays, memoryviews) of the storage.
    Py_ssize_t exports = 0;
    // Thread that runs an operation involving this matrix, and how deep.
    unsigned long ownerThread = 0;
    int busyDepth = 0;
    std::vector<OperationFrame> frames;

    void SetFireEvents(bool on);
};

// Records the interpreter's main thread: only there can Ctrl-C arrive.
void SetMainThread(unsigned long ident);

// Wraps a result of the library (null stays None).
py::object Wrap(MatrixPtr m);

}  // namespace kestrim::python
