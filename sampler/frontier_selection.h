#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "sampler/neighbor_selection.h"

namespace vornlib {

// A run of frontier nodes of one edge type at one hop, as selection sees it.
struct FrontierNodes {
    const std::int64_t* ids;      // node index of each frontier node
    const std::int64_t* batches;  // batch value of each frontier node
    std::size_t count;
};

// Whole-frontier selections. Each appends, like the single-node path called
// node by node in frontier order, the chosen positions and one end offset per
// node, and makes the same random draws in the same order. Their reads of
// caller data overlap across nodes; a node whose data fails any check is
// redone in its turn by the checked single-node path, so a call fails with
// exactly the error, at exactly the node, it would otherwise.
// Each stops early, after a node (or a group of nodes), once positions holds
// at least budget entries, and returns how many frontier nodes it has done.

// Count mode without time. All colptr entries are read first, in one pass;
// the draws then run node by node. runs is scratch space the caller keeps.
std::size_t choose_uniform_frontier(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                             const FrontierNodes& frontier, std::vector<CandidateRun>& runs,
                             std::vector<std::int64_t>& positions, std::vector<std::size_t>& node_ends,
                             std::size_t budget = std::numeric_limits<std::size_t>::max());

// The latest k or a window, both deterministic functions of the seed time:
// groups of nodes are bisected together so that their cache misses overlap.
// seed_times holds one time per batch value.
std::size_t choose_timed_frontier(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                           const FrontierNodes& frontier, const std::vector<std::int64_t>& seed_times,
                           std::vector<std::int64_t>& positions, std::vector<std::size_t>& node_ends,
                           std::size_t budget = std::numeric_limits<std::size_t>::max());

}  // namespace vornlib
