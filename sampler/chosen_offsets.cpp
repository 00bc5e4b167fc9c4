#include "sampler/chosen_offsets.h"

namespace vornlib {

namespace {

constexpr std::uint64_t kEmptySlot = ~std::uint64_t{0};

std::uint64_t mix_offset(std::uint64_t offset) {
    offset ^= offset >> 33;
    offset *= 0xff51afd7ed558ccdULL;
    offset ^= offset >> 33;
    return offset;
}

}  // namespace

void ChosenOffsets::begin(std::int64_t n, std::int64_t k) {
    dense_ = n < kSparseThreshold;
    if (dense_) {
        if (bytes_.size() < static_cast<std::size_t>(n)) {
            bytes_.resize(static_cast<std::size_t>(n), 0);
        }
        return;
    }
    // Load factor at most one half keeps probe sequences short.
    std::uint64_t capacity = 16;
    while (capacity < 2 * static_cast<std::uint64_t>(k)) {
        capacity *= 2;
    }
    if (slots_.size() < capacity) {
        slots_.assign(capacity, kEmptySlot);
    }
    mask_ = capacity - 1;
}

bool ChosenOffsets::insert_sparse(std::uint64_t offset) {
    std::uint64_t slot = mix_offset(offset) & mask_;
    while (slots_[slot] != kEmptySlot) {
        if (slots_[slot] == offset) {
            return false;
        }
        slot = (slot + 1) & mask_;
    }
    touched_.push_back(slot);  // first: if it throws, nothing is marked
    slots_[slot] = offset;
    return true;
}

void ChosenOffsets::finish() noexcept {
    if (dense_) {
        for (std::uint64_t offset : touched_) {
            bytes_[offset] = 0;
        }
    } else {
        for (std::uint64_t slot : touched_) {
            slots_[slot] = kEmptySlot;
        }
    }
    touched_.clear();
}

}  // namespace vornlib
