// The kernels of one kind (products, reflections, ...) that this processor
// can run, fastest first, and the choice among them: the fastest unless a
// test forces each in turn to show that every one gives the same bits.
#pragma once

#include <atomic>
#include <initializer_list>

namespace kestrim::detail {

// Whether the processor supports the instruction set named as GCC and clang
// name it ("avx", "avx2", "avx512f"; a literal). Windows builds carry only
// the baseline kernels, so there it is always false.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define KESTRIM_CPU_SUPPORTS(feature) (__builtin_cpu_init(), __builtin_cpu_supports(feature) != 0)
#else
#define KESTRIM_CPU_SUPPORTS(feature) false
#endif

template <class Kernel>
class KernelMenu {
public:
    // Candidates fastest first; null ones (not built, or not supported)
    // are left out. The last must be the baseline, which is never null.
    KernelMenu(std::initializer_list<const Kernel*> candidates) noexcept {
        for (const Kernel* k : candidates)
            if (k != nullptr && count_ < kMost) list_[count_++] = k;
    }

    const Kernel& Selected() const noexcept {
        const int chosen = chosen_.load(std::memory_order_relaxed);
        return chosen < 0 ? *list_[0] : At(chosen);
    }
    // A negative index restores the fastest.
    void Use(int index) noexcept { chosen_.store(index < 0 ? -1 : index); }
    int Count() const noexcept { return count_; }
    // Out of range: the baseline.
    const Kernel& At(int index) const noexcept {
        return index < 0 || index >= count_ ? *list_[count_ - 1] : *list_[index];
    }

private:
    static constexpr int kMost = 4;
    const Kernel* list_[kMost] = {};
    int count_ = 0;
    std::atomic<int> chosen_{-1};
};

}  // namespace kestrim::detail
