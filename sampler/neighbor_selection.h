#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "sampler/chosen_offsets.h"
#include "sampler/selection.h"

namespace vornlib {

// Appends the positions [begin, end) in ascending order.
inline void append_ascending(std::int64_t begin, std::int64_t end, std::vector<std::int64_t>& out) {
    for (std::int64_t p = begin; p < end; ++p) {
        out.push_back(p);
    }
}

// Chooses the incoming edges of one destination node: the checked path that
// defines every selection. Every read of caller data is checked against its
// span; a failed check throws naming the edge type and the index, and nothing
// is read out of range. The frontier paths fall back on it for any node whose
// data they find suspect, so errors always come from here.
class NeighborChooser {
public:
    explicit NeighborChooser(std::mt19937& generator) : generator_(generator) {}

    // Appends the chosen positions (indices into edge.row) to out, in the
    // order they are taken. seed_time is null when the hop samples without time.
    void choose_neighbors(const EdgeView& edge, std::int64_t node, const HopParameter& hop,
                          const std::int64_t* seed_time, std::vector<std::int64_t>& out);

    // The uniform choice of k among the candidates of a run whose bounds the
    // caller has already checked against edge.row. Inline: the frontier path
    // calls it once per node, and most nodes take all their candidates.
    void choose_uniform(CandidateRun run, std::int64_t k, std::vector<std::int64_t>& out) {
        const std::int64_t n = run.hi - run.lo;
        if (n <= 0) {
            return;
        }
        if (takes_all(k, n)) {
            append_ascending(run.lo, run.hi, out);
            return;
        }
        draw_uniform(run, k, out);
    }

private:
    // Floyd's draws of k among the n candidates of run, 0 < k < n.
    void draw_uniform(CandidateRun run, std::int64_t k, std::vector<std::int64_t>& out);

    std::mt19937& generator_;
    ChosenOffsets chosen_;
};

// Timestamp of the neighbour at a row position, bounds-checked on both reads.
std::int64_t neighbor_time(const EdgeView& edge, std::int64_t position);

// First position in [first, first + count) whose neighbour is later than
// bound, by the exact bisection of selection.h (also on unsorted runs).
std::int64_t upper_bound_by_time(const EdgeView& edge, std::int64_t first, std::int64_t count, Int128 bound);

// Fails when a run of at least two positions starts later than it ends.
void check_time_order(const EdgeView& edge, std::int64_t begin, std::int64_t end);

}  // namespace vornlib
