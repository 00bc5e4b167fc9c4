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
class LocalNodeTable {
public:
    static constexpr std::uint32_t kMaxIndex = 0xFFFFFFFEu;

    // Empties the table, shrinking storage that an earlier, larger call left behind.
    void reset();

    // Room for `entries` pairs without growing during lookups. A long rehash
    // asks `interrupts` between blocks of moved entries; if that throws, the
    // table is left unusable until reset() (a failed call discards it).
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
        if (2 * (size_ + 1) > slots_.size()) {
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
        prefetch_line(slots_.data() + (static_cast<std::size_t>(pair_hash) & mask_));
    }

    static std::uint64_t hash(std::uint32_t batch, std::int64_t node) {
        std::uint64_t h = static_cast<std::uint64_t>(node) * 0x9E3779B97F4A7C15ULL;
        h ^= (static_cast<std::uint64_t>(batch) + 0x632BE59BD9B4E019ULL) * 0xC2B2AE3D27D4EB4FULL;
        h ^= h >> 31;
        return h;
    }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return slots_.size(); }

private:
    struct Slot {
        std::int64_t node;
        std::uint32_t batch;
        std::uint32_t index_plus_one;  // 0 marks an empty slot
    };

    void grow();
    void rehash(std::size_t capacity, InterruptCheck* interrupts = nullptr);

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
    std::size_t high_water_ = 0;  // entries recent calls made room for, decaying at each reset
};

}  // namespace vornlib
