#include "sampler/neighbor_sampler.h"

#include <utility>

namespace vornlib {

NeighborSampler::NeighborSampler(GraphStore store, std::uint32_t seed)
    : store_(std::move(store)), generator_(seed), chooser_(generator_), scratch_(ScratchPool::instance().take()) {}

NeighborSampler::~NeighborSampler() {
    if (!failed_) {
        ScratchPool::instance().give(std::move(scratch_));
    }
}

void NeighborSampler::expand(const SampleRequest& request, WindowSource& windows, InterruptCheck& interrupts) {
    scratch_->workspace.start(store_.type_count(), interrupts);
    HopExpansion(store_, request, windows, interrupts, chooser_, scratch_->workspace, scratch_->tables).run();
}

void NeighborSampler::release_scratch() noexcept {
    scratch_->workspace.release();
    scratch_->tables.release();
    failed_ = false;
}

}  // namespace vornlib
