#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampler/graph_store.h"
#include "sampler/int64_span.h"
#include "sampler/selection.h"

namespace vornlib {

// What the request gives for one edge type key: per-hop counts, read in
// place, or windows whose per-hop offsets come from a WindowSource.
struct KeyRequest {
    HopParameter::Mode mode = HopParameter::Mode::count;
    Int64Span counts;  // count mode; a hop past its end counts as 0
};

// Supplies the window offsets of a window-mode key at a hop. Implemented by
// whoever owns the caller's request objects; may throw to abort the call.
class WindowSource {
public:
    virtual ~WindowSource() = default;
    virtual HopParameter window_at(KeyId key, std::size_t hop) = 0;
};

// A validated request, resolved to ids. Seed times are given one per seed,
// or not at all (then they come from the entity type's timestamps, if any).
struct SampleRequest {
    TypeId entity_type = 0;
    Int64Span seed_node;
    Int64Span seed_time;
    std::vector<KeyRequest> keys;  // indexed by KeyId
    std::size_t num_hops = 0;
};

}  // namespace vornlib
