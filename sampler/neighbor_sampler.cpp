#include "sampler/neighbor_sampler.h"

#include <utility>

namespace vornlib {

NeighborSampler::NeighborSampler(GraphStore store, std::uint32_t seed)
    : store_(std::move(store)), generator_(seed), chooser_(generator_) {}

void NeighborSampler::sample(const SampleRequest& request, WindowSource& windows) {
    tables_.start(store_.type_count(), store_.key_count());
    workspace_.start(store_.type_count());
    try {
        HopExpansion(store_, request, windows, chooser_, workspace_, tables_).run();
    } catch (...) {
        tables_.clear();
        throw;
    }
}

}  // namespace vornlib
