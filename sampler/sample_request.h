#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampler/graph_store.h"
#include "sampler/int64_span.h"
#include "sampler/neighbor_selection.h"

namespace vornlib {

// The mode of one edge type key at one call: per-hop counts read in place,
// or a window whose per-hop offsets come from a WindowSource.
struct EdgeMode {
    bool window = false;
    Int64Span counts;  // count mode; a hop past its end counts as 0

    std::int64_t count_at(std::size_t hop) const {
        const auto index = static_cast<std::int64_t>(hop);
        return index < counts.size ? counts[index] : 0;
    }
};

// Supplies the window offsets of a window-mode key at a hop. Implemented by
// whoever owns the caller's request objects; may throw to abort the call.
class WindowSource {
public:
    virtual ~WindowSource() = default;
    virtual HopParameter window_at(KeyId key, std::size_t hop) = 0;
};

// A validated request: everything hop expansion needs, resolved to ids.
struct SampleRequest {
    TypeId entity_type = 0;
    Int64Span seed_node;
    Int64Span seed_time;
    std::vector<EdgeMode> modes;  // indexed by KeyId
    std::size_t num_hops = 0;
};

}  // namespace vornlib
