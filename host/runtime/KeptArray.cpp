#include "host/runtime/KeptArray.h"

#include <new>
#include <utility>

#include "kestrim/Error.h"

namespace kestrim::detail {

namespace {

struct Slot {
    std::unique_ptr<double[]> data;
    std::size_t capacity = 0;
};

Slot& ThreadSlot() noexcept {
    thread_local Slot slot;
    return slot;
}

}  // namespace

KeptArray::KeptArray(std::size_t count) {
    Slot& slot = ThreadSlot();
    if (slot.data && slot.capacity >= count) {
        data_ = std::move(slot.data);
        capacity_ = slot.capacity;
        slot.capacity = 0;
        return;
    }
    // Too small to use: freed first, so that the two are never held at once.
    slot.data.reset();
    slot.capacity = 0;
    try {
        data_ = std::make_unique_for_overwrite<double[]>(count == 0 ? 1 : count);
    } catch (const std::bad_alloc&) {
        RaiseRuntimeError(RuntimeError::OutOfMemory);
    }
    capacity_ = count;
}

KeptArray::~KeptArray() {
    if (capacity_ > kKeptArrayLimit) return;
    Slot& slot = ThreadSlot();
    if (slot.data && slot.capacity >= capacity_) return;
    slot.data = std::move(data_);
    slot.capacity = capacity_;
}

std::size_t KeptArrayCapacity() noexcept { return ThreadSlot().capacity; }

void PrepareKeptArray() noexcept { ThreadSlot(); }

}  // namespace kestrim::detail
