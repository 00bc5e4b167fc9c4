#include "sampler/untimed_frontier.h"

namespace vornlib {

namespace {

// Far enough ahead that many colptr misses are in flight while the loop,
// which does almost nothing else, reaches them.
constexpr std::size_t kColptrPrefetchDistance = 32;

void read_ranges(const EdgeView& edge, const FrontierNodes& frontier, std::vector<CandidateRange>& ranges,
                 WorkPacer& pacer) {
    ranges.resize(frontier.count);
    pacer.for_blocks(frontier.count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + kColptrPrefetchDistance < frontier.count) {
                edge.prefetch_candidates_of(frontier.ids[i + kColptrPrefetchDistance]);
            }
            CandidateRange& range = ranges[i];
            if (!edge.try_candidates_of(frontier.ids[i], range.lo, range.hi)) {
                range.lo = CandidateRange::kRecheck;
            }
        }
    });
}

}  // namespace

void choose_untimed_frontier(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                             const FrontierNodes& frontier, std::vector<CandidateRange>& ranges,
                             std::vector<std::int64_t>& positions, std::vector<std::size_t>& node_ends,
                             WorkPacer& pacer) {
    read_ranges(edge, frontier, ranges, pacer);
    // Work so far: kNodeUnits per node plus the positions chosen.
    PacedTotal paced(pacer, positions.size());
    for (std::size_t i = 0; i < frontier.count; ++i) {
        const CandidateRange range = ranges[i];
        if (range.lo == CandidateRange::kRecheck) {
            chooser.choose_neighbors(edge, frontier.ids[i], hop, nullptr, positions);
        } else {
            chooser.choose_uniform_between(range.lo, range.hi, hop.k, positions);
        }
        node_ends.push_back(positions.size());
        paced.at(positions.size() + (i + 1) * WorkPacer::kNodeUnits);
    }
    paced.finish(positions.size() + frontier.count * WorkPacer::kNodeUnits);
}

}  // namespace vornlib
