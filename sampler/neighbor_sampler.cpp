#include "sampler/neighbor_sampler.h"

#include <utility>

namespace vornlib {

NeighborSampler::NeighborSampler(GraphStore store, std::uint32_t seed)
    : store_(std::move(store)), generator_(seed), chooser_(generator_) {}

void NeighborSampler::expand(const SampleRequest& request, WindowSource& windows, InterruptCheck& interrupts) {
    workspace_.start(store_.type_count(), interrupts);
    HopExpansion(store_, request, windows, interrupts, chooser_, workspace_, tables_).run();
}

void NeighborSampler::release_scratch() noexcept {
    workspace_.release();
    tables_.release();
    failed_ = false;
}

}  // namespace vornlib
