#pragma once

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "sampler/chosen_offsets.h"
#include "sampler/int64_span.h"
#include "sampler/wide_int.h"

namespace vornlib {

// What one edge type contributes to a selection: its CSC arrays, the source
// type's timestamps when this hop samples with time, and names for errors.
struct EdgeView {
    std::string_view key;
    std::string_view source_type;
    Int64Span colptr;
    Int64Span row;
    const Int64Span* source_time = nullptr;  // nullptr: sampling without time

    // colptr[node] and colptr[node + 1] both exist; written so that node + 1
    // cannot overflow.
    bool has_candidates_of(std::int64_t node) const { return node >= 0 && node < colptr.size - 1; }
    // A candidate range is empty or lies inside row.
    bool range_inside_row(std::int64_t lo, std::int64_t hi) const {
        return hi <= lo || (lo >= 0 && hi <= row.size);
    }
    // Reads node's candidates [lo, hi) when both checks above pass; false
    // otherwise, leaving the error to the checked single-node path.
    bool try_candidates_of(std::int64_t node, std::int64_t& lo, std::int64_t& hi) const {
        if (!has_candidates_of(node)) {
            return false;
        }
        lo = colptr[node];
        hi = colptr[node + 1];
        return range_inside_row(lo, hi);
    }
    // Asks for colptr[node] ahead of use; a node without entries is skipped.
    void prefetch_candidates_of(std::int64_t node) const {
        if (has_candidates_of(node)) {
            __builtin_prefetch(colptr.data + node);
        }
    }
};

// One hop's parameter of one edge type.
struct HopParameter {
    enum class Mode { count, window };
    Mode mode = Mode::count;
    std::int64_t k = 0;          // count mode: neighbours wanted, negative = all
    bool has_start = false;      // window mode: start offset present
    std::int64_t start = 0;      // window mode: window is (t + start, t + end]
    std::int64_t end = 0;

    static HopParameter count(std::int64_t k) { return {Mode::count, k, false, 0, 0}; }
    static HopParameter window(bool has_start, std::int64_t start, std::int64_t end) {
        return {Mode::window, 0, has_start, start, end};
    }
};

// Chooses the incoming edges of one destination node. Every read of caller
// data is checked against its span; a failed check throws std::runtime_error
// naming the edge type and the index, and nothing is read out of range.
class NeighborChooser {
public:
    explicit NeighborChooser(std::mt19937& generator) : generator_(generator) {}

    // Appends the chosen positions (indices into edge.row) to out, in the
    // order they are taken. seed_time is null when the hop samples without time.
    void choose_neighbors(const EdgeView& edge, std::int64_t node, const HopParameter& hop,
                          const std::int64_t* seed_time, std::vector<std::int64_t>& out);

    // The uniform choice of k among the candidates [lo, hi), which the caller
    // has already checked against edge.row (count mode without time).
    void choose_uniform_between(std::int64_t lo, std::int64_t hi, std::int64_t k, std::vector<std::int64_t>& out) {
        if (hi > lo && k != 0) {
            choose_uniform({lo, hi}, k, out);
        }
    }

private:
    struct Range {
        std::int64_t lo;
        std::int64_t hi;
    };

    static Range candidate_range(const EdgeView& edge, std::int64_t node);
    void choose_uniform(Range range, std::int64_t k, std::vector<std::int64_t>& out);
    static void choose_latest(const EdgeView& edge, Range range, std::int64_t k, std::int64_t seed_time,
                              std::vector<std::int64_t>& out);
    static void choose_window(const EdgeView& edge, Range range, const HopParameter& hop,
                              std::int64_t seed_time, std::vector<std::int64_t>& out);

    std::mt19937& generator_;
    ChosenOffsets chosen_;
};

// Timestamp of the neighbour at a row position, bounds-checked on both reads.
std::int64_t neighbor_time(const EdgeView& edge, std::int64_t position);

// First position in [first, first + count) whose neighbour is later than
// bound, by the exact bisection the sampler specifies (also on unsorted runs).
// The bound is 128-bit so that seed time + offset never wraps.
std::int64_t upper_bound_by_time(const EdgeView& edge, std::int64_t first, std::int64_t count,
                                 Int128 bound);

// Fails when a run of at least two positions starts later than it ends.
void check_time_order(const EdgeView& edge, std::int64_t begin, std::int64_t end);

}  // namespace vornlib
