#include "sampler/local_node_table.h"

#include <algorithm>
#include <cstring>

namespace vornlib {

namespace {

constexpr std::size_t kMinCapacity = 64;
// Entries moved between two interrupt checks of a rehash.
constexpr std::size_t kRehashBlock = std::size_t{1} << 18;

std::size_t capacity_for(std::size_t entries) {
    std::size_t capacity = kMinCapacity;
    while (capacity < 2 * entries) {
        capacity *= 2;
    }
    return capacity;
}

}  // namespace

void LocalNodeTable::reset() {
    // high_water_ is the room the last calls asked for, halved at each reset:
    // a stream of like calls keeps its storage instead of shrinking it here
    // and growing it back during every call, while storage a much larger
    // call left behind is given back after a few smaller ones.
    high_water_ = std::max(high_water_ / 2, size_);
    const std::size_t wanted = capacity_for(high_water_);
    if (slots_.size() > 4 * wanted) {
        slots_.assign(wanted, Slot{0, 0, 0});
        slots_.shrink_to_fit();
        mask_ = wanted - 1;
    } else if (size_ > 0) {
        // All-zero bytes are an empty slot; one memset clears the table fastest.
        std::memset(static_cast<void*>(slots_.data()), 0, slots_.size() * sizeof(Slot));
    }
    size_ = 0;
}

void LocalNodeTable::grow() {
    rehash(slots_.empty() ? kMinCapacity : 2 * slots_.size());
}

void LocalNodeTable::reserve(std::size_t entries, InterruptCheck& interrupts) {
    high_water_ = std::max(high_water_, entries);
    const std::size_t capacity = capacity_for(entries);
    if (capacity > slots_.size()) {
        rehash(capacity, &interrupts);
    }
}

void LocalNodeTable::rehash(std::size_t capacity, InterruptCheck* interrupts) {
    std::vector<Slot> old(capacity, Slot{0, 0, 0});
    old.swap(slots_);
    mask_ = capacity - 1;
    for (std::size_t i = 0; i < old.size(); ++i) {
        if (interrupts != nullptr && i % kRehashBlock == kRehashBlock - 1) {
            interrupts->check();
        }
        const Slot& entry = old[i];
        if (entry.index_plus_one == 0) {
            continue;
        }
        std::size_t slot = static_cast<std::size_t>(hash(entry.batch, entry.node)) & mask_;
        while (slots_[slot].index_plus_one != 0) {
            slot = (slot + 1) & mask_;
        }
        slots_[slot] = entry;
    }
}

}  // namespace vornlib
