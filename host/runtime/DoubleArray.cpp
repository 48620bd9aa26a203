#include "kestrim/DoubleArray.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kestrim/Error.h"

// Under AddressSanitizer every array comes from the heap, so that the
// sanitizer sees the bounds of each one.
#if defined(__SANITIZE_ADDRESS__)
#define KESTRIM_MAP_LARGE_ARRAYS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRIM_MAP_LARGE_ARRAYS 0
#endif
#endif
#if !defined(KESTRIM_MAP_LARGE_ARRAYS)
#if defined(__linux__)
#define KESTRIM_MAP_LARGE_ARRAYS 1
#else
#define KESTRIM_MAP_LARGE_ARRAYS 0
#endif
#endif

#if KESTRIM_MAP_LARGE_ARRAYS
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#endif

namespace kestrim {

namespace {

#if KESTRIM_MAP_LARGE_ARRAYS
// Large arrays get storage of their own, aligned to this size and backed by
// large pages where the system offers them: an array of n x n
// Doubles is then made present with n * n / 262144 page faults instead of
// n * n / 512, which for the results of the decompositions and products
// costs more than the arithmetic.
constexpr std::size_t kLargePage = std::size_t{2} << 20;

// Fresh anonymous pages read as zero, so the storage needs no fill and costs
// nothing until it is touched. Null when the mapping fails.
double* MapLargeArray(std::size_t bytes) noexcept {
    const std::size_t span = bytes + kLargePage;
    if (span < bytes) return nullptr;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kLargePage - 1) & ~(kLargePage - 1);
    // Only whole pages can be given back: the tail starts at the first page
    // boundary after the array.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t end = (aligned + bytes + page - 1) & ~(page - 1);
    const std::size_t head = aligned - start, tail = start + span - end;
    if (head != 0) munmap(raw, head);
    if (tail != 0) munmap(reinterpret_cast<void*>(end), tail);
    void* p = reinterpret_cast<void*>(aligned);
    madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without large pages it fails and changes nothing
    return static_cast<double*>(p);
}

// Large storages released a moment ago, kept mapped for the next arrays of
// the same size that will be written whole (the results and work arrays of
// an operation called in a loop): taking one back costs no page faults and
// no clearing of fresh pages, which for such arrays costs as much as a good
// part of the arithmetic. A few at most, and never more than kRecycledBytes
// together; a zero-filled array that takes one clears it first.
constexpr std::size_t kRecycledSlots = 8;
constexpr std::size_t kRecycledBytes = std::size_t{64} << 20;

struct Recycled {
    void* start = nullptr;
    std::size_t bytes = 0;
    unsigned long long age = 0;  // when it was kept: the oldest goes first
};

// Constant-initialised and trivially destroyed, so arrays released during
// the program's exit still find them.
std::mutex recycledMutex;
Recycled recycled[kRecycledSlots];
unsigned long long recycledCount = 0;

// Keeps a released storage for reuse, giving up the storages kept longest
// ago when there is no room: what an operation in a loop releases last is
// what its next call asks for first. False when it is too large to keep.
bool Recycle(void* start, std::size_t bytes) noexcept {
    if (bytes > kRecycledBytes) return false;
    const std::lock_guard<std::mutex> lock(recycledMutex);
    for (;;) {
        std::size_t held = 0;
        Recycled* freeSlot = nullptr;
        Recycled* oldest = nullptr;
        for (Recycled& r : recycled) {
            held += r.bytes;
            if (r.start == nullptr) {
                if (freeSlot == nullptr) freeSlot = &r;
            } else if (oldest == nullptr || r.age < oldest->age) {
                oldest = &r;
            }
        }
        if (freeSlot != nullptr && held + bytes <= kRecycledBytes) {
            *freeSlot = Recycled{start, bytes, ++recycledCount};
            return true;
        }
        munmap(oldest->start, oldest->bytes);  // not null: something is held
        *oldest = Recycled{};
    }
}

// The kept storage of exactly `bytes` kept last (its lines are the likeliest
// still to be in cache), or null.
double* TakeRecycled(std::size_t bytes) noexcept {
    const std::lock_guard<std::mutex> lock(recycledMutex);
    Recycled* newest = nullptr;
    for (Recycled& r : recycled)
        if (r.start != nullptr && r.bytes == bytes && (newest == nullptr || r.age > newest->age)) newest = &r;
    if (newest == nullptr) return nullptr;
    void* p = newest->start;
    *newest = Recycled{};
    return static_cast<double*>(p);
}

// Unmaps every kept storage: a mapping that fails gets a second chance
// without them, so keeping them never makes an allocation fail.
void ReleaseRecycled() noexcept {
    const std::lock_guard<std::mutex> lock(recycledMutex);
    for (Recycled& r : recycled)
        if (r.start != nullptr) {
            munmap(r.start, r.bytes);
            r = Recycled{};
        }
}

// Arrays get storage of their own, and so a place among the kept
// storages, from this size on: below it the heap keeps released
// blocks. Above it the heap maps each block on its own, or gives the top
// of its area back to the system when it is freed, depending on what it
// has handed out before, so the same operation in a loop could pay for
// fresh pages at every call (three times the arithmetic of LU at n = 256).
constexpr std::size_t kRecyclableBytes = std::size_t{256} << 10;

bool IsRecyclable(std::size_t count) noexcept {
    return count >= kRecyclableBytes / sizeof(double) &&
           count <= std::numeric_limits<std::size_t>::max() / sizeof(double);
}

// Storage of its own for an array of `bytes`: the kept storage of that
// size released last (`kept` set), else a fresh mapping, unmapping the kept
// storages and trying once more when the first attempt fails. Raises the
// out-of-memory error.
double* StorageOfItsOwn(std::size_t bytes, bool& kept) {
    kept = false;
    if (double* p = TakeRecycled(bytes)) {
        kept = true;
        return p;
    }
    if (double* p = MapLargeArray(bytes)) return p;
    ReleaseRecycled();
    if (double* p = MapLargeArray(bytes)) return p;
    RaiseRuntimeError(RuntimeError::OutOfMemory);
}
#endif

}  // namespace

void DoubleArray::FreeDeleter::operator()(double* p) const noexcept {
#if KESTRIM_MAP_LARGE_ARRAYS
    if (mappedBytes != 0) {
        if (!Recycle(p, mappedBytes)) munmap(p, mappedBytes);
        return;
    }
#endif
    std::free(p);
}

std::unique_ptr<double[], DoubleArray::FreeDeleter> DoubleArray::AllocateZeroed(std::size_t count) {
#if KESTRIM_MAP_LARGE_ARRAYS
    if (IsRecyclable(count)) {
        const std::size_t bytes = count * sizeof(double);
        bool kept = false;
        double* p = StorageOfItsOwn(bytes, kept);
        // Clearing a kept storage costs a fraction of what fresh pages cost:
        // under a hypervisor the first touch of a page can cost many times
        // its clearing.
        if (kept) std::memset(p, 0, bytes);
        return std::unique_ptr<double[], FreeDeleter>(p, FreeDeleter{bytes});
    }
#endif
    // calloc checks count * size for overflow and hands out zeroed pages
    // lazily, so large arrays cost nothing until they are touched.
    void* p = std::calloc(count == 0 ? 1 : count, sizeof(double));
    if (p == nullptr) RaiseRuntimeError(RuntimeError::OutOfMemory);
    return std::unique_ptr<double[], FreeDeleter>(static_cast<double*>(p));
}

std::unique_ptr<double[], DoubleArray::FreeDeleter> DoubleArray::AllocateForOverwrite(std::size_t count) {
#if KESTRIM_MAP_LARGE_ARRAYS
    if (IsRecyclable(count)) {
        const std::size_t bytes = count * sizeof(double);
        bool kept = false;
        return std::unique_ptr<double[], FreeDeleter>(StorageOfItsOwn(bytes, kept), FreeDeleter{bytes});
    }
#endif
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(double))
        RaiseRuntimeError(RuntimeError::OutOfMemory);
    void* p = std::malloc(count == 0 ? sizeof(double) : count * sizeof(double));
    if (p == nullptr) RaiseRuntimeError(RuntimeError::OutOfMemory);
    return std::unique_ptr<double[], FreeDeleter>(static_cast<double*>(p));
}

void DoubleArray::ReleaseForOverwrite(double* p, std::size_t count) noexcept {
#if KESTRIM_MAP_LARGE_ARRAYS
    // The same rule as AllocateForOverwrite, so the same deleter.
    if (IsRecyclable(count)) {
        FreeDeleter{count * sizeof(double)}(p);
        return;
    }
#endif
    static_cast<void>(count);
    FreeDeleter{}(p);
}

DoubleArray DoubleArray::Create(const std::vector<std::pair<int32_t, int32_t>>& bounds) {
    return Create(bounds, true);
}

std::size_t DoubleArray::WorkCount(std::size_t count) noexcept {
#if KESTRIM_MAP_LARGE_ARRAYS
    // Whole large pages from 32 KiB on: smaller blocks the heap keeps, but
    // larger ones it may give back to the system at every release, and
    // one size for all of them lets any kept storage serve the next.
    constexpr std::size_t kPageDoubles = kLargePage / sizeof(double);
    if (count >= kPageDoubles / 64 && count <= std::numeric_limits<std::size_t>::max() - kPageDoubles)
        count = (count + kPageDoubles - 1) / kPageDoubles * kPageDoubles;
#endif
    return count;
}

DoubleArray DoubleArray::CreateWork(std::size_t count) {
    count = WorkCount(count);
    if (count > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        RaiseRuntimeError(RuntimeError::OutOfMemory);
    return Create({{0, static_cast<int32_t>(count) - 1}}, false);
}

DoubleArray DoubleArray::Create(const std::vector<std::pair<int32_t, int32_t>>& bounds, bool zeroed) {
    if (bounds.empty()) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    std::size_t count = 1;
    for (const auto& [lower, upper] : bounds) {
        const int64_t extent = static_cast<int64_t>(upper) - lower + 1;
        if (extent < 0) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
        if (extent != 0 && count > std::numeric_limits<std::size_t>::max() / sizeof(double) /
                                       static_cast<std::size_t>(extent))
            RaiseRuntimeError(RuntimeError::OutOfMemory);
        count *= static_cast<std::size_t>(extent);
    }
    DoubleArray a;
    a.data_ = zeroed ? AllocateZeroed(count) : AllocateForOverwrite(count);
    a.bounds_ = bounds;
    a.count_ = count;
    a.rows_ = static_cast<std::size_t>(static_cast<int64_t>(bounds[0].second) - bounds[0].first + 1);
    a.hasStorage_ = true;
    return a;
}

DoubleArray DoubleArray::Create1D(int32_t upper, int32_t lower) { return Create({{lower, upper}}); }

DoubleArray DoubleArray::Create2D(int32_t upper1, int32_t upper2, int32_t lower1, int32_t lower2) {
    return Create({{lower1, upper1}, {lower2, upper2}});
}

DoubleArray::DoubleArray(const DoubleArray& other)
    : bounds_(other.bounds_), count_(other.count_), rows_(other.rows_), hasStorage_(other.hasStorage_) {
    if (hasStorage_) {
        // Every element is copied: no zero fill.
        data_ = AllocateForOverwrite(count_);
        if (count_ != 0) std::memcpy(data_.get(), other.data_.get(), count_ * sizeof(double));
    }
}

DoubleArray& DoubleArray::operator=(const DoubleArray& other) {
    if (this != &other) {
        DoubleArray copy(other);
        *this = std::move(copy);
    }
    return *this;
}

int32_t DoubleArray::LBound(int dim) const {
    if (!hasStorage_ || dim < 1 || dim > Dims()) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    return bounds_[static_cast<std::size_t>(dim - 1)].first;
}

int32_t DoubleArray::UBound(int dim) const {
    if (!hasStorage_ || dim < 1 || dim > Dims()) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    return bounds_[static_cast<std::size_t>(dim - 1)].second;
}

std::size_t DoubleArray::Offset(const std::vector<int32_t>& indices) const {
    if (!hasStorage_ || indices.size() != bounds_.size())
        RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    std::size_t offset = 0;
    std::size_t stride = 1;
    for (std::size_t d = 0; d < bounds_.size(); ++d) {
        const auto [lower, upper] = bounds_[d];
        if (indices[d] < lower || indices[d] > upper) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
        offset += static_cast<std::size_t>(static_cast<int64_t>(indices[d]) - lower) * stride;
        stride *= static_cast<std::size_t>(static_cast<int64_t>(upper) - lower + 1);
    }
    return offset;
}

double DoubleArray::Get(const std::vector<int32_t>& indices) const { return data_[Offset(indices)]; }

void DoubleArray::Set(const std::vector<int32_t>& indices, double value) {
    data_[Offset(indices)] = value;
}

void DoubleArray::RedimPreserveLast(int32_t newUpperLast) {
    if (!hasStorage_) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    auto bounds = bounds_;
    bounds.back().second = newUpperLast;
    DoubleArray resized = Create(bounds);
    // Column-major: the elements of the surviving part of the last
    // dimension form one leading block.
    const std::size_t keep = std::min(count_, resized.count_);
    if (keep != 0) std::memcpy(resized.data_.get(), data_.get(), keep * sizeof(double));
    *this = std::move(resized);
}

}  // namespace kestrim
