// A work array that the calling thread keeps from one operation to the next.
//
// Operations that hold a private copy of an operand for their whole run
// (the packed argument of a product) would otherwise allocate it at every
// call, and a fresh allocation of a few hundred KiB or more comes from the
// system as untouched pages: at n = 256 faulting them in costs as much as
// the arithmetic. The thread keeps one such array after use and hands it to
// its next operation.
//
// Unlike ThreadScratch, the array stays valid across events: taking it
// leaves the thread's slot empty, so an operation that an event handler runs
// on the same thread gets storage of its own. When the array is given back
// (at destruction) the thread keeps the larger of it and what it holds,
// up to kKeptArrayLimit doubles; larger arrays are freed.
#pragma once

#include <cstddef>
#include <memory>

namespace kestrim::detail {

// The largest array a thread keeps between operations (16 MiB).
inline constexpr std::size_t kKeptArrayLimit = std::size_t{2} << 20;

class KeptArray {
public:
    // At least `count` doubles, contents unspecified. Raises the
    // out-of-memory error when the storage cannot be obtained.
    explicit KeptArray(std::size_t count);
    ~KeptArray();
    KeptArray(const KeptArray&) = delete;
    KeptArray& operator=(const KeptArray&) = delete;

    double* Data() const noexcept { return data_.get(); }

private:
    std::unique_ptr<double[]> data_;
    std::size_t capacity_ = 0;
};

// The size in doubles of the array the calling thread keeps now (0: none).
std::size_t KeptArrayCapacity() noexcept;

// Sets up the calling thread's slot (see StartThreads: registering a
// thread-local clean-up can end the process when memory runs out later).
void PrepareKeptArray() noexcept;

}  // namespace kestrim::detail
