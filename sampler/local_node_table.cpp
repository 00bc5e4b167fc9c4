#include "sampler/local_node_table.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace vornlib {

namespace {

constexpr std::size_t kMinCapacity = 64;
// Work between two looks for a pending interrupt: bytes cleared or given
// back, bytes faulted in (a fault costs up to 15 us when the system must
// reclaim its page cache to find the page), and entries moved by a rehash.
constexpr std::size_t kPieceBytes = std::size_t{16} << 20;
constexpr std::size_t kFaultBytes = std::size_t{2} << 20;
constexpr std::size_t kRehashBlock = std::size_t{1} << 16;

std::size_t capacity_for(std::size_t entries) {
    std::size_t capacity = kMinCapacity;
    while (capacity < 2 * entries) {
        capacity *= 2;
    }
    return capacity;
}

std::size_t page_size() {
    static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

}  // namespace

LocalNodeTable::LocalNodeTable(LocalNodeTable&& other) noexcept
    : slots_(std::exchange(other.slots_, nullptr)), capacity_(std::exchange(other.capacity_, 0)),
      mask_(std::exchange(other.mask_, 0)), size_(std::exchange(other.size_, 0)),
      high_water_(std::exchange(other.high_water_, 0)), growing_(std::exchange(other.growing_, SlotArray{})),
      retired_(std::exchange(other.retired_, SlotArray{})) {}

LocalNodeTable& LocalNodeTable::operator=(LocalNodeTable&& other) noexcept {
    if (this != &other) {
        release();
        slots_ = std::exchange(other.slots_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        mask_ = std::exchange(other.mask_, 0);
        size_ = std::exchange(other.size_, 0);
        high_water_ = std::exchange(other.high_water_, 0);
        growing_ = std::exchange(other.growing_, SlotArray{});
        retired_ = std::exchange(other.retired_, SlotArray{});
    }
    return *this;
}

LocalNodeTable::SlotArray LocalNodeTable::allocate(std::size_t capacity) {
    if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(Slot)) {
        throw std::bad_alloc();
    }
    const std::size_t bytes = capacity * sizeof(Slot);
    if (bytes < kMappedBytes) {
        auto* slots = new Slot[capacity];
        std::memset(static_cast<void*>(slots), 0, bytes);  // all-zero bytes are an empty slot
        return SlotArray{slots, capacity};
    }
    void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return SlotArray{static_cast<Slot*>(mapped), capacity};
}

void LocalNodeTable::free_now(SlotArray array) noexcept {
    if (array.slots == nullptr) {
        return;
    }
    if (array.capacity * sizeof(Slot) < kMappedBytes) {
        delete[] array.slots;
    } else {
        ::munmap(array.slots, array.capacity * sizeof(Slot));
    }
}

void LocalNodeTable::release() noexcept {
    free_now(SlotArray{slots_, capacity_});
    free_now(std::exchange(growing_, SlotArray{}));
    if (retired_.slots != nullptr) {
        ::munmap(retired_.slots, retired_.capacity * sizeof(Slot));
        retired_ = SlotArray{};
    }
    slots_ = nullptr;
    capacity_ = mask_ = size_ = 0;
}

void LocalNodeTable::retire(SlotArray array, InterruptCheck& interrupts) {
    if (array.slots == nullptr) {
        return;
    }
    if (array.capacity * sizeof(Slot) < kMappedBytes) {
        free_now(array);
        return;
    }
    release_retired(interrupts);  // at most one retired mapping at a time
    retired_ = array;
    release_retired(interrupts);
}

// retired_ is a mapping of whole pages; its front is unmapped piece by piece,
// and it always describes exactly what is still mapped. Its capacity counts
// bytes in units of Slot, which divides the page size.
void LocalNodeTable::release_retired(InterruptCheck& interrupts) {
    while (retired_.slots != nullptr) {
        const std::size_t bytes = retired_.capacity * sizeof(Slot);
        const std::size_t piece = std::min(bytes, kPieceBytes);
        ::munmap(retired_.slots, piece);
        retired_ = piece == bytes ? SlotArray{}
                                  : SlotArray{retired_.slots + piece / sizeof(Slot), (bytes - piece) / sizeof(Slot)};
        interrupts.check();
    }
}

void LocalNodeTable::reset(InterruptCheck& interrupts) {
    retire(std::exchange(growing_, SlotArray{}), interrupts);
    release_retired(interrupts);
    // high_water_ is the room the last calls asked for, halved at each reset:
    // a stream of like calls keeps its storage instead of shrinking it here
    // and growing it back during every call, while storage a much larger
    // call left behind is given back after a few smaller ones.
    high_water_ = std::max(high_water_ / 2, size_);
    const std::size_t wanted = capacity_for(high_water_);
    if (capacity_ > 4 * wanted) {
        const SlotArray smaller = allocate(wanted);
        const SlotArray larger{slots_, capacity_};
        slots_ = smaller.slots;
        capacity_ = smaller.capacity;
        mask_ = capacity_ - 1;
        size_ = 0;
        retire(larger, interrupts);
        return;
    }
    if (size_ > 0) {
        // All-zero bytes are an empty slot. size_ stays until every piece is
        // cleared, so that an interrupted reset is done again in full.
        auto* bytes = reinterpret_cast<unsigned char*>(slots_);
        const std::size_t total = capacity_ * sizeof(Slot);
        for (std::size_t done = 0; done < total;) {
            const std::size_t piece = std::min(total - done, kPieceBytes);
            std::memset(bytes + done, 0, piece);
            done += piece;
            if (done < total) {
                interrupts.check();
            }
        }
    }
    size_ = 0;
}

void LocalNodeTable::grow() {
    NeverInterrupt never;
    rehash(capacity_ == 0 ? kMinCapacity : 2 * capacity_, never);
}

void LocalNodeTable::reserve(std::size_t entries, InterruptCheck& interrupts) {
    high_water_ = std::max(high_water_, entries);
    const std::size_t capacity = capacity_for(entries);
    if (capacity > capacity_) {
        rehash(capacity, interrupts);
    }
}

void LocalNodeTable::rehash(std::size_t capacity, InterruptCheck& interrupts) {
    retire(std::exchange(growing_, SlotArray{}), interrupts);
    growing_ = allocate(capacity);
    Slot* const fresh = growing_.slots;
    const std::size_t mask = capacity - 1;
    if (capacity * sizeof(Slot) >= kMappedBytes) {
        // Fresh mapped pages fault on first touch; touching them here, a
        // piece at a time, keeps those faults out of the moves below, where
        // each block of entries could meet thousands of them.
        auto* bytes = reinterpret_cast<volatile unsigned char*>(fresh);
        const std::size_t total = capacity * sizeof(Slot);
        for (std::size_t done = 0; done < total;) {
            const std::size_t piece = std::min(total - done, kFaultBytes);
            for (std::size_t page = done; page < done + piece; page += page_size()) {
                bytes[page] = 0;
            }
            done += piece;
            interrupts.check();
        }
    }
    for (std::size_t i = 0; i < capacity_; ++i) {
        if (i % kRehashBlock == kRehashBlock - 1) {
            interrupts.check();
        }
        const Slot& entry = slots_[i];
        if (entry.index_plus_one == 0) {
            continue;
        }
        std::size_t slot = static_cast<std::size_t>(hash(entry.batch, entry.node)) & mask;
        while (fresh[slot].index_plus_one != 0) {
            slot = (slot + 1) & mask;
        }
        fresh[slot] = entry;
    }
    const SlotArray old{slots_, capacity_};
    slots_ = std::exchange(growing_, SlotArray{}).slots;
    capacity_ = capacity;
    mask_ = mask;
    retire(old, interrupts);
}

}  // namespace vornlib
