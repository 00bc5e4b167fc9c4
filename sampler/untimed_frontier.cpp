#include "sampler/untimed_frontier.h"

namespace vornlib {

namespace {

// Far enough ahead that many colptr misses are in flight while the loop,
// which does almost nothing else, reaches them.
constexpr std::size_t kColptrPrefetchDistance = 32;

CandidateRange read_range(const EdgeView& edge, std::int64_t node) {
    if (!edge.has_candidates_of(node)) {
        return {CandidateRange::kRecheck, 0};
    }
    const std::int64_t lo = edge.colptr[node];
    const std::int64_t hi = edge.colptr[node + 1];
    if (!edge.range_inside_row(lo, hi)) {
        return {CandidateRange::kRecheck, 0};
    }
    return {lo, hi};
}

void read_ranges(const EdgeView& edge, const FrontierNodes& frontier, std::vector<CandidateRange>& ranges) {
    ranges.resize(frontier.count);
    for (std::size_t i = 0; i < frontier.count; ++i) {
        if (i + kColptrPrefetchDistance < frontier.count) {
            edge.prefetch_candidates_of(frontier.ids[i + kColptrPrefetchDistance]);
        }
        ranges[i] = read_range(edge, frontier.ids[i]);
    }
}

}  // namespace

void choose_untimed_frontier(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                             const FrontierNodes& frontier, std::vector<CandidateRange>& ranges,
                             std::vector<std::int64_t>& positions, std::vector<std::size_t>& node_ends) {
    read_ranges(edge, frontier, ranges);
    for (std::size_t i = 0; i < frontier.count; ++i) {
        const CandidateRange range = ranges[i];
        if (range.lo == CandidateRange::kRecheck) {
            chooser.choose_neighbors(edge, frontier.ids[i], hop, nullptr, positions);
        } else {
            chooser.choose_uniform_between(range.lo, range.hi, hop.k, positions);
        }
        node_ends.push_back(positions.size());
    }
}

}  // namespace vornlib
