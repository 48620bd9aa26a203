#include "PyMatrix.h"

#include <pythread.h>

#include <algorithm>
#include <atomic>

#include "Operation.h"

namespace kestrim::python {

namespace {

std::atomic<unsigned long> g_mainThread{0};

// How often a long operation on the main thread looks for Ctrl-C when no
// Python handler is running anyway: often enough to feel immediate, rarely
// enough that other Python threads keep the GIL.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);

bool HasForcedFrame(const PyMatrix& p) {
    return std::any_of(p.frames.begin(), p.frames.end(), [](const OperationFrame& f) { return f.forced; });
}

bool StillConnected(const py::list& handlers, const py::handle& cookie) {
    for (const auto& entry : handlers)
        if (py::object(entry.cast<py::tuple>()[0]).equal(cookie)) return true;
    return false;
}

void Fail(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw py::error_already_set();
}

}  // namespace

void SetMainThread(unsigned long ident) { g_mainThread = ident; }

// ---- PyMatrix --------------------------------------------------------------

PyMatrix::PyMatrix(MatrixPtr matrix) : m(std::move(matrix)) {
    bridge = std::make_shared<EventBridge>(this);
    bridgeCookie = m->Connect(bridge);
    fireEvents = m->FireEvents();
}

PyMatrix::~PyMatrix() {
    bridge->Detach();
    m->Disconnect(bridgeCookie);
}

void PyMatrix::SetFireEvents(bool on) {
    fireEvents = on;
    if (!HasForcedFrame(*this)) m->SetFireEvents(on);
}

py::object Wrap(MatrixPtr m) {
    if (!m) return py::none();
    return py::cast(new PyMatrix(std::move(m)), py::return_value_policy::take_ownership);
}

// ---- Events ----------------------------------------------------------------

bool EventBridge::SignalCheckDue() {
    if (PyThread_get_thread_ident() != g_mainThread.load()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSignalCheck_ < kSignalCheckInterval) return false;
    lastSignalCheck_ = now;
    return true;
}

// Runs without the GIL until Python really has to run. The owner's state
// is only ever changed by the thread that runs the operation (other
// threads are refused while it is claimed), so reading it here is safe.
void EventBridge::OnProgress(const std::string& Operation, float Percent, bool& Cancel) {
    PyMatrix* o = owner_;
    if (o == nullptr || o->frames.empty()) return;
    const std::size_t frame = o->frames.size() - 1;
    if (o->frames[frame].pending) {
        Cancel = true;
        return;
    }
    const OperationFrame& f = o->frames[frame];
    const bool forward = (f.mode == EventMode::Live ? o->fireEvents : f.fireAtStart) &&
                         PyList_GET_SIZE(o->handlers.ptr()) > 0;
    const bool checkSignals = SignalCheckDue();
    if (!forward && !checkSignals) return;

    py::gil_scoped_acquire gil;
    try {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (!forward) return;
        const py::list snapshot(o->handlers);
        const py::float_ percent(static_cast<double>(Percent));
        const py::str operation(Operation);
        for (const auto& item : snapshot) {
            const auto entry = item.cast<py::tuple>();
            if (entry[1].is_none() || !StillConnected(o->handlers, entry[0])) continue;
            if (entry[3].cast<bool>()) {
                const py::object r = entry[1](operation, percent, py::bool_(Cancel));
                if (!r.is_none()) Cancel = static_cast<bool>(py::bool_(r));
            } else if (static_cast<bool>(py::bool_(entry[1](operation, percent)))) {
                Cancel = true;
            }
        }
    } catch (py::error_already_set& e) {
        o->frames[frame].pending = std::move(e);
        Cancel = true;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        o->frames[frame].pending.emplace();
        Cancel = true;
    }
}

void EventBridge::Done(const std::string& Operation) {
    PyMatrix* o = owner_;
    if (o == nullptr || o->frames.empty()) return;
    const std::size_t frame = o->frames.size() - 1;
    const OperationFrame& f = o->frames[frame];
    const bool forward = (f.mode == EventMode::Live ? o->fireEvents : f.fireAtStart) &&
                         PyList_GET_SIZE(o->handlers.ptr()) > 0;
    if (!forward || f.pending) return;

    py::gil_scoped_acquire gil;
    try {
        const py::list snapshot(o->handlers);
        const py::str operation(Operation);
        for (const auto& item : snapshot) {
            const auto entry = item.cast<py::tuple>();
            if (entry[2].is_none() || !StillConnected(o->handlers, entry[0])) continue;
            entry[2](operation);
        }
    } catch (py::error_already_set& e) {
        o->frames[frame].pending = std::move(e);
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        o->frames[frame].pending.emplace();
    }
}

// ---- Claims and frames -----------------------------------------------------

Claim::Claim(PyMatrix& receiver, bool receiverWritten, const Involved& others) {
    const unsigned long me = PyThread_get_thread_ident();
    auto check = [&](PyMatrix* p, bool written) {
        if (p == nullptr) return;
        if (p->busyDepth > 0 && p->ownerThread != me)
            Fail(PyExc_RuntimeError, "this Matrix is in use by an operation on another thread");
        if (written && p->exports > 0)
            Fail(PyExc_BufferError,
                 "this Matrix has live buffer views (numpy.asarray, memoryview) and its storage "
                 "cannot be replaced; release them or work on a copy (to_numpy)");
    };
    check(&receiver, receiverWritten);
    for (auto* p : others.reads) check(p, false);
    for (auto* p : others.writes) check(p, true);

    auto claim = [&](PyMatrix* p) {
        if (p == nullptr) return;
        p->ownerThread = me;
        ++p->busyDepth;
        claimed_.push_back(p);
    };
    claim(&receiver);
    for (auto* p : others.reads) claim(p);
    for (auto* p : others.writes) claim(p);
}

Claim::~Claim() {
    for (auto* p : claimed_) --p->busyDepth;
}

FrameScope::FrameScope(PyMatrix& receiver, EventMode mode)
    : receiver_(receiver), active_(mode != EventMode::None) {
    if (!active_) return;
    // Numerical operations check their event switch at every progress
    // point; holding it on gives Ctrl-C a place to cancel them. Only the
    // main thread receives Ctrl-C, so other threads skip the events' cost.
    // Python handlers still see events only while FireEvents is true.
    OperationFrame frame;
    frame.mode = mode;
    frame.fireAtStart = receiver.fireEvents;
    frame.forced = mode == EventMode::Live && PyThread_get_thread_ident() == g_mainThread.load();
    receiver.frames.push_back(std::move(frame));
    if (receiver.frames.back().forced) receiver.m->SetFireEvents(true);
}

FrameScope::~FrameScope() {
    if (!active_) return;
    receiver_.frames.pop_back();
    if (!HasForcedFrame(receiver_)) receiver_.m->SetFireEvents(receiver_.fireEvents);
}

void FrameScope::RethrowPending() {
    if (!active_) return;
    auto& pending = receiver_.frames.back().pending;
    if (!pending) return;
    py::error_already_set e = std::move(*pending);
    pending.reset();
    throw e;
}

}  // namespace kestrim::python
