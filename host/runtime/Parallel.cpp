#include "host/runtime/Parallel.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "host/runtime/FloatingPoint.h"
#include "host/runtime/KeptArray.h"
#include "kestrim/Error.h"

namespace kestrim {

namespace {

// 0: not set by SetNumThreads, use the default.
std::atomic<int> requestedThreads{0};

int DefaultThreads() noexcept {
    static const int count = [] {
        if (const char* text = std::getenv("KESTRIM_NUM_THREADS")) {
            char* end = nullptr;
            const long value = std::strtol(text, &end, 10);
            if (end != text && *end == '\0' && value >= 1 && value <= 4096)
                return static_cast<int>(value);
        }
        return std::max(1, omp_get_num_procs());
    }();
    return count;
}

}  // namespace

void SetNumThreads(int count) { requestedThreads.store(count < 1 ? 0 : std::min(count, 4096)); }

int NumThreads() {
    const int requested = requestedThreads.load();
    return requested > 0 ? requested : DefaultThreads();
}

namespace detail {

namespace {
std::atomic<double> minWorkPerThread{kMinWorkPerThread};
}  // namespace

void SetMinWorkPerThread(double work) noexcept {
    minWorkPerThread.store(work >= 1.0 ? work : kMinWorkPerThread);
}

int ThreadsFor(double work) noexcept {
    const int limit = NumThreads();
    const double minWork = minWorkPerThread.load(std::memory_order_relaxed);
    if (limit <= 1 || !(work >= 2 * minWork)) return 1;
    const double byWork = work / minWork;
    return byWork >= limit ? limit : std::max(1, static_cast<int>(byWork));
}

double* ThreadScratch(std::size_t count) {
    thread_local std::unique_ptr<double[]> buffer;
    thread_local std::size_t capacity = 0;
    if (count > capacity) {
        buffer.reset();
        capacity = 0;
        try {
            buffer = std::make_unique_for_overwrite<double[]>(count);
        } catch (const std::bad_alloc&) {
            RaiseRuntimeError(RuntimeError::OutOfMemory);
        }
        capacity = count;
    }
    return buffer.get();
}

void StartThreads() {
    ThreadScratch(0);
    PrepareKeptArray();
    const int threads = NumThreads();
    if (threads <= 1 || omp_in_parallel()) return;
    // Each thread also sets up its scratch array's thread-local slot now:
    // the C library ends the process when it cannot register the slot's
    // clean-up for lack of memory.
#pragma omp parallel num_threads(threads)
    ThreadScratch(0);
}

void RunParallel(int64_t count, int threads, void (*body)(void*, int64_t, int64_t), void* context) {
    const int chunks = static_cast<int>(std::min<int64_t>(threads, count));
    if (chunks <= 1 || omp_in_parallel()) {
        body(context, 0, count);
        return;
    }
    std::atomic<int> faults{0};
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(chunks));
#pragma omp parallel num_threads(chunks)
    {
        // The runtime may give fewer threads than asked: each takes every
        // chunk of its residue class, so the partition stays the same.
        const int team = omp_get_num_threads();
        // Each worker computes in the default environment with its own
        // flags clear, and gives its thread's environment back afterwards.
        fp::FpScope scope;
        for (int c = omp_get_thread_num(); c < chunks; c += team) {
            const int64_t begin = count * c / chunks;
            const int64_t end = count * (c + 1) / chunks;
            try {
                body(context, begin, end);
            } catch (...) {
                errors[static_cast<std::size_t>(c)] = std::current_exception();
            }
        }
        faults.fetch_or(std::fetestexcept(fp::kFaultFlags));
    }
    for (const std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
    if (const int flags = faults.load()) std::feraiseexcept(flags);
}

}  // namespace detail
}  // namespace kestrim
