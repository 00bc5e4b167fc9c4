#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "sampler/interrupt_check.h"
#include "sampler/prefetch.h"

namespace vornlib {

// De-duplication of one node type's sampled nodes within a call: an
// open-addressing (linear probing) map from the (batch, node) pair to its
// local index. Storage is kept between calls; reset() empties it.
//
// A huge call can grow the slot array to gigabytes, and every long step
// with it is taken in pieces with a look for a pending interrupt between
// them, so that Ctrl+C is answered within milliseconds: an array of
// kMappedBytes or more is mapped memory (it starts zeroed), faulted in,
// filled, cleared and given back piece by piece. An array stays a member
// while that runs, so an interrupted step leaves it owned, and the next
// reset() (or the destructor) finishes giving it back.
class LocalNodeTable {
public:
    static constexpr std::uint32_t kMaxIndex = 0xFFFFFFFEu;
    static constexpr std::size_t kMappedBytes = std::size_t{32} << 20;

    LocalNodeTable() = default;
    LocalNodeTable(const LocalNodeTable&) = delete;
    LocalNodeTable& operator=(const LocalNodeTable&) = delete;
    LocalNodeTable(LocalNodeTable&& other) noexcept;
    LocalNodeTable& operator=(LocalNodeTable&& other) noexcept;
    ~LocalNodeTable() { release(); }

    // Empties the table, shrinking storage that an earlier, larger call left
    // behind and giving back what an interrupted step left over.
    void reset(InterruptCheck& interrupts);
    void reset() {
        NeverInterrupt never;
        reset(never);
    }
    // Frees every array at once.
    void release() noexcept;

    // Room for `entries` pairs without growing during lookups. A long rehash
    // asks `interrupts` between pieces; if that throws, the table keeps its
    // old array and entries, and the new one is given back by reset().
    void reserve(std::size_t entries, InterruptCheck& interrupts);

    // The local index of (batch, node), or next_index after entering the pair
    // under it; .second tells whether it was entered now.
    std::pair<std::uint32_t, bool> find_or_insert(std::uint32_t batch, std::int64_t node,
                                                  std::uint32_t next_index) {
        return find_or_insert_hashed(hash(batch, node), batch, node, next_index);
    }

    // The same, for a caller that computed hash(batch, node) ahead, to ask
    // for the pair's slot with prefetch_hashed() before it looks the pair up.
    std::pair<std::uint32_t, bool> find_or_insert_hashed(std::uint64_t pair_hash, std::uint32_t batch,
                                                         std::int64_t node, std::uint32_t next_index) {
        if (2 * (size_ + 1) > capacity_) {
            grow();
        }
        std::size_t slot = static_cast<std::size_t>(pair_hash) & mask_;
        for (;;) {
            Slot& entry = slots_[slot];
            if (entry.index_plus_one == 0) {
                entry = Slot{node, batch, next_index + 1};
                ++size_;
                return {next_index, true};
            }
            if (entry.node == node && entry.batch == batch) {
                return {entry.index_plus_one - 1, false};
            }
            slot = (slot + 1) & mask_;
        }
    }

    // A hint that the pair with this hash will be looked up soon. The table
    // may grow before then; the hint is only wasted.
    void prefetch_hashed(std::uint64_t pair_hash) const {
        prefetch_line(slots_ + (static_cast<std::size_t>(pair_hash) & mask_));
    }

    static std::uint64_t hash(std::uint32_t batch, std::int64_t node) {
        std::uint64_t h = static_cast<std::uint64_t>(node) * 0x9E3779B97F4A7C15ULL;
        h ^= (static_cast<std::uint64_t>(batch) + 0x632BE59BD9B4E019ULL) * 0xC2B2AE3D27D4EB4FULL;
        h ^= h >> 31;
        return h;
    }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    // Bytes of every array held.
    std::size_t bytes() const { return (capacity_ + growing_.capacity + retired_.capacity) * sizeof(Slot); }
    bool mapped() const { return capacity_ * sizeof(Slot) >= kMappedBytes; }

private:
    struct Slot {
        std::int64_t node;
        std::uint32_t batch;
        std::uint32_t index_plus_one;  // 0 marks an empty slot
    };
    // An array of slots, all zero (empty) when made; mapped from kMappedBytes on.
    struct SlotArray {
        Slot* slots = nullptr;
        std::size_t capacity = 0;
    };

    static SlotArray allocate(std::size_t capacity);
    static void free_now(SlotArray array) noexcept;
    // Frees an array; a mapped one in pieces, kept in retired_ until the last is gone.
    void retire(SlotArray array, InterruptCheck& interrupts);
    void release_retired(InterruptCheck& interrupts);

    void grow();
    void rehash(std::size_t capacity, InterruptCheck& interrupts);

    Slot* slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
    std::size_t high_water_ = 0;  // entries recent calls made room for, decaying at each reset
    SlotArray growing_;           // the array a rehash fills; owned here until it replaces slots_
    SlotArray retired_;           // what is left of a mapped array being given back
};

}  // namespace vornlib
