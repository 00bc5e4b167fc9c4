#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampler/neighbor_selection.h"
#include "sampler/work_pacer.h"

namespace vornlib {

// The frontier of one edge type at one hop, as the choose phase sees it.
struct FrontierNodes {
    const std::int64_t* ids;      // node index of each frontier node
    const std::int64_t* batches;  // batch value of each frontier node
    std::size_t count;
};

// Chooses for a whole frontier when every choice is a deterministic function
// of the seed time (count mode with time, window mode with time). Groups of
// nodes are bisected together so that their independent cache misses
// overlap. A node whose data fails any check, or whose run is out of time
// order, is redone in frontier order by the checked single-node path, so the
// call fails with exactly the error, at exactly the node, it would otherwise.
// Appends positions and one end offset per node, like the single-node path.
// The work is counted on pacer, whose check may throw between two groups.
void choose_timed_frontier(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                           const FrontierNodes& frontier, const std::vector<std::int64_t>& seed_times,
                           std::vector<std::int64_t>& positions, std::vector<std::size_t>& node_ends,
                           WorkPacer& pacer);

}  // namespace vornlib
