#pragma once

#include <cstdint>
#include <vector>

namespace vornlib {

// The set of offsets one Floyd selection has already taken. Small
// neighbourhoods use a byte per candidate; from kSparseThreshold candidates on
// an open-addressing set sized to k keeps memory proportional to the picks.
// Both forms answer identically. Storage is kept between selections and
// cleared by touching only what was inserted. Use it through Scope, which
// clears it on every exit, so a selection that throws (out of memory while
// appending its picks, say) leaves no mark to skew the next one.
class ChosenOffsets {
public:
    static constexpr std::int64_t kSparseThreshold = 100000;

    // One selection: begin() when made, finish() when destroyed.
    class Scope {
    public:
        Scope(ChosenOffsets& set, std::int64_t n, std::int64_t k) : set_(set) { set_.begin(n, k); }
        ~Scope() { set_.finish(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

        bool insert(std::uint64_t offset) { return set_.insert(offset); }

    private:
        ChosenOffsets& set_;
    };

private:
    // Prepares for a selection of k offsets among n candidates (0 < k < n).
    void begin(std::int64_t n, std::int64_t k);
    // Inserts offset; false when it was already chosen in this selection.
    bool insert(std::uint64_t offset) {
        return dense_ ? insert_dense(offset) : insert_sparse(offset);
    }
    // Forgets this selection's offsets so the next begin() starts empty.
    void finish() noexcept;

    bool insert_dense(std::uint64_t offset) {
        std::uint8_t& seen = bytes_[offset];
        if (seen != 0) {
            return false;
        }
        touched_.push_back(offset);  // first: if it throws, nothing is marked
        seen = 1;
        return true;
    }
    bool insert_sparse(std::uint64_t offset);

    bool dense_ = true;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint64_t> slots_;
    std::uint64_t mask_ = 0;
    std::vector<std::uint64_t> touched_;
};

}  // namespace vornlib
