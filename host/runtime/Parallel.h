// Running independent work on several threads with the same bits and the
// same faults as one thread.
//
// ParallelFor splits [0, count) into contiguous chunks, a fixed (static)
// partition, and runs body(begin, end) for each chunk on its own OpenMP
// thread. The body must compute elements that are independent of one
// another, so that the partition cannot change any result.
//
// Floating point: each worker starts from the default environment (round
// to nearest, exceptions masked, no sticky flags), runs its chunk, and
// reports the fault flags it raised. After the join the calling thread
// carries the union of those flags, exactly as if it had done all the work
// itself, so the operation's usual coarse test (fp::HasFault) and its
// checked replay on the calling thread find the first fault as before.
// An exception thrown by a body is rethrown on the calling thread (the one
// of the lowest chunk wins). Events and cancellation never happen inside a
// body: the caller raises them between parallel sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "kestrim/Threading.h"

namespace kestrim::detail {

// Minimum work, in floating-point operations, that makes another thread
// worth starting (a parallel section costs a few microseconds).
inline constexpr double kMinWorkPerThread = 1.5e5;

// Replaces kMinWorkPerThread (a value below 1 restores it). Tests use a
// tiny value so that small problems run on several threads too.
void SetMinWorkPerThread(double work) noexcept;

// The number of threads for a section of about `work` floating-point
// operations: 1 for small work, never more than NumThreads().
int ThreadsFor(double work) noexcept;

// A scratch array of at least `count` doubles that belongs to the calling
// thread and is kept from call to call, so that the kernels' packing buffers
// are not allocated (and their pages not faulted in) at every operation.
// Its contents are unspecified, and the pointer holds only until the
// thread's next call: an event handler may run another operation on the
// same thread, so fetch it again after any event. Raises the out-of-memory
// error when the storage cannot be obtained.
double* ThreadScratch(std::size_t count);

// Starts the OpenMP runtime's worker threads for NumThreads() now, if they
// are not running yet. The runtime ends the process when it cannot create
// a thread (it has no way to report an error), and it creates them at the
// first parallel section; a program that expects to run short of memory or
// threads later can start them while it can.
void StartThreads();

// Implementation of ParallelFor (not templated, so OpenMP stays in one file).
void RunParallel(int64_t count, int threads, void (*body)(void*, int64_t, int64_t), void* context);

// Runs body(begin, end) over a static partition of [0, count) among at
// most `threads` threads (one chunk each). With one thread, or when called
// from inside another parallel section, it runs body(0, count) directly.
template <class Body>
void ParallelFor(int64_t count, int threads, Body&& body) {
    if (count <= 0) return;
    if (threads <= 1 || count == 1) {
        body(int64_t{0}, count);
        return;
    }
    auto trampoline = [](void* context, int64_t begin, int64_t end) {
        (*static_cast<std::remove_reference_t<Body>*>(context))(begin, end);
    };
    RunParallel(count, threads, trampoline, &body);
}

// Convenience: the thread count from the work, then ParallelFor.
template <class Body>
void ParallelForWork(int64_t count, double work, Body&& body) {
    ParallelFor(count, ThreadsFor(work), std::forward<Body>(body));
}

}  // namespace kestrim::detail
