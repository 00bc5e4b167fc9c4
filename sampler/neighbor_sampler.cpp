#include "sampler/neighbor_sampler.h"

#include <utility>

namespace vornlib {

NeighborSampler::NeighborSampler(GraphStore store, std::uint32_t seed)
    : store_(std::move(store)), generator_(seed), chooser_(generator_) {}

void NeighborSampler::sample(const SampleRequest& request, WindowSource& windows, InterruptCheck& interrupt) {
    try {
        // Inside the try: starting the tables allocates, and may fail half-way.
        tables_.start(store_.type_count(), store_.key_count());
        workspace_.start(store_.type_count());
        HopExpansion(store_, request, windows, chooser_, workspace_, tables_, interrupt).run();
    } catch (...) {
        // A failed call may have grown the buffers to the limit of memory
        // (or been interrupted for that reason): give it all back.
        tables_.release();
        workspace_.release();
        throw;
    }
}

}  // namespace vornlib
