// Internal ways of creating a DoubleArray for the component's own
// operations. Not part of the public API.
#pragma once

#include <cstdint>
#include <vector>

#include "kestrim/DoubleArray.h"

namespace kestrim::detail {

struct DoubleArrayAccess {
    // A zero-based two-dimensional array whose elements are unspecified,
    // for a result that the operation writes whole before any caller or
    // handler can see it: it skips the zero fill, and a large one may reuse
    // the storage of a large array released earlier, which spares the
    // system's clearing of fresh pages. Bounds and errors as Create2D.
    static DoubleArray ForOverwrite2D(int32_t upper1, int32_t upper2) {
        return DoubleArray::Create({{0, upper1}, {0, upper2}}, false);
    }
    // A private work array of at least `count` doubles (one dimension, from
    // 0), elements unspecified. From 32 KiB on it is rounded up
    // to the large arrays' storage, so that an operation called in a loop
    // takes back the storage it released instead of fresh pages (which the
    // heap would hand out again and again, as it gives such blocks back to
    // the system). Raises the out-of-memory error.
    static DoubleArray Work(std::size_t count) { return DoubleArray::CreateWork(count); }

    // Raw storage of at least `count` doubles, elements unspecified, on the
    // same terms as Work; given back with ReleaseWork(p, count). Raises the
    // out-of-memory error.
    static double* AllocateWork(std::size_t count) {
        return DoubleArray::AllocateForOverwrite(DoubleArray::WorkCount(count)).release();
    }
    static void ReleaseWork(double* p, std::size_t count) noexcept {
        DoubleArray::ReleaseForOverwrite(p, DoubleArray::WorkCount(count));
    }
};

// An allocator for the private work vectors of the operations: large ones
// come from the kept storages as the work arrays above do, so an operation
// called in a loop does not pay for fresh pages at every call.
template <class T>
struct WorkAllocator {
    static_assert(sizeof(T) == sizeof(double) && alignof(T) <= alignof(double));
    using value_type = T;
    WorkAllocator() noexcept = default;
    template <class U>
    WorkAllocator(const WorkAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) { return reinterpret_cast<T*>(DoubleArrayAccess::AllocateWork(count)); }
    void deallocate(T* p, std::size_t count) noexcept {
        DoubleArrayAccess::ReleaseWork(reinterpret_cast<double*>(p), count);
    }
    friend bool operator==(const WorkAllocator&, const WorkAllocator&) noexcept { return true; }
};

// The operations' private work vectors.
using WorkVector = std::vector<double, WorkAllocator<double>>;

// A private work buffer of `count` doubles that are written before they
// are read (no zero fill), on the same terms as the work vectors.
class WorkBuffer {
public:
    explicit WorkBuffer(std::size_t count) : data_(DoubleArrayAccess::AllocateWork(count)), count_(count) {}
    ~WorkBuffer() { DoubleArrayAccess::ReleaseWork(data_, count_); }
    WorkBuffer(const WorkBuffer&) = delete;
    WorkBuffer& operator=(const WorkBuffer&) = delete;
    double* Data() const noexcept { return data_; }

private:
    double* data_;
    std::size_t count_;
};

}  // namespace kestrim::detail
