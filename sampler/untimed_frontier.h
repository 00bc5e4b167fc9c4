#pragma once

#include <cstdint>
#include <vector>

#include "sampler/neighbor_selection.h"
#include "sampler/timed_frontier.h"
#include "sampler/work_pacer.h"

namespace vornlib {

// One frontier node's candidates [lo, hi) as read from colptr, or a mark that
// the checked single-node path must read them itself.
struct CandidateRange {
    static constexpr std::int64_t kRecheck = INT64_MIN;
    std::int64_t lo = 0;
    std::int64_t hi = 0;
};

// Chooses for a whole frontier in count mode without time. All colptr
// entries are read first, in one pass whose independent cache misses overlap;
// the uniform draws then run node by node in frontier order, so the draw
// order is the single-node path's. A node whose colptr entries or candidate
// range fail a check is redone, in its turn, by the checked single-node path,
// which raises exactly the error it raises on its own.
// ranges is scratch space kept by the caller across calls. The work is
// counted on pacer, whose check may throw between two nodes.
void choose_untimed_frontier(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                             const FrontierNodes& frontier, std::vector<CandidateRange>& ranges,
                             std::vector<std::int64_t>& positions, std::vector<std::size_t>& node_ends,
                             WorkPacer& pacer);

}  // namespace vornlib
