// An array of Double with per-dimension bounds, in column-major order (the
// first index varies fastest), with a "no storage" state. This is the type
// that crosses the component's boundary (AsArray) and the storage of a
// Matrix. Copies are deep: two DoubleArray objects never share elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kestrim {

namespace detail {
struct DoubleArrayAccess;
}

class DoubleArray {
public:
    // An array without storage: every bound query raises the runtime's
    // subscript error.
    DoubleArray() = default;

    // Zero-filled arrays. An upper bound of lower - 1 gives an empty
    // dimension. Storage that cannot be obtained (including an element
    // count whose byte size overflows) raises the out-of-memory error.
    static DoubleArray Create1D(int32_t upper, int32_t lower = 0);
    static DoubleArray Create2D(int32_t upper1, int32_t upper2, int32_t lower1 = 0,
                                int32_t lower2 = 0);
    // Any number of dimensions (1 or more), given as (lower, upper) pairs.
    static DoubleArray Create(const std::vector<std::pair<int32_t, int32_t>>& bounds);

    DoubleArray(const DoubleArray& other);
    DoubleArray& operator=(const DoubleArray& other);
    DoubleArray(DoubleArray&& other) noexcept = default;
    DoubleArray& operator=(DoubleArray&& other) noexcept = default;

    bool HasStorage() const noexcept { return hasStorage_; }
    // Number of dimensions; 0 without storage.
    int Dims() const noexcept { return static_cast<int>(bounds_.size()); }
    // Bounds of dimension `dim` (1-based, as in the automation runtime).
    // A dimension the array lacks, or no storage, raises the subscript error.
    int32_t LBound(int dim = 1) const;
    int32_t UBound(int dim = 1) const;

    // Number of elements (product of the extents); 0 without storage.
    std::size_t Count() const noexcept { return count_; }
    double* Data() noexcept { return data_.get(); }
    const double* Data() const noexcept { return data_.get(); }

    // Unchecked zero-based column-major access to a two-dimensional array:
    // element (r, c) lies at c * (extent of dimension 1) + r.
    double& At(std::size_t r, std::size_t c) noexcept { return data_[c * rows_ + r]; }
    double At(std::size_t r, std::size_t c) const noexcept { return data_[c * rows_ + r]; }
    // Extent of dimension 1 (the column stride of At).
    std::size_t Stride() const noexcept { return rows_; }

    // Checked element access by bounds-relative indices (1 or 2 indices).
    // Outside the bounds, or with the wrong number of indices: subscript error.
    double Get(const std::vector<int32_t>& indices) const;
    void Set(const std::vector<int32_t>& indices, double value);

    // Re-dimension keeping the values: only the last dimension's upper bound
    // changes; surviving elements keep their values, added ones are zero.
    void RedimPreserveLast(int32_t newUpperLast);

private:
    friend struct detail::DoubleArrayAccess;

    struct FreeDeleter {
        // Bytes of a storage mapped on its own (large arrays); 0 for storage
        // from the heap.
        FreeDeleter() noexcept : mappedBytes(0) {}
        explicit FreeDeleter(std::size_t bytes) noexcept : mappedBytes(bytes) {}
        std::size_t mappedBytes;
        void operator()(double* p) const noexcept;
    };
    static std::unique_ptr<double[], FreeDeleter> AllocateZeroed(std::size_t count);
    // Storage whose elements are unspecified (see detail::DoubleArrayAccess).
    static std::unique_ptr<double[], FreeDeleter> AllocateForOverwrite(std::size_t count);
    // Gives back storage of `count` doubles from AllocateForOverwrite whose
    // owner released it (work vectors, see detail::WorkAllocator).
    static void ReleaseForOverwrite(double* p, std::size_t count) noexcept;
    static DoubleArray Create(const std::vector<std::pair<int32_t, int32_t>>& bounds, bool zeroed);
    static DoubleArray CreateWork(std::size_t count);
    // The count a work array of at least `count` doubles gets.
    static std::size_t WorkCount(std::size_t count) noexcept;
    std::size_t Offset(const std::vector<int32_t>& indices) const;

    std::unique_ptr<double[], FreeDeleter> data_;
    std::vector<std::pair<int32_t, int32_t>> bounds_;  // (lower, upper) per dimension
    std::size_t count_ = 0;
    std::size_t rows_ = 0;
    bool hasStorage_ = false;
};

}  // namespace kestrim
