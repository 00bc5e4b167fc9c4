#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "sampler/hop_expansion.h"
#include "sampler/working_tables.h"

namespace vornlib {

// What a sampler's calls work in, besides the graph and the generator: the
// expansion's buffers and the working tables. Nothing in it outlives a call
// or decides a result, so any sampler can take it over.
struct SamplerScratch {
    ExpansionWorkspace workspace;
    WorkingTables tables;

    // Bytes of storage it holds.
    std::size_t bytes() const;
};

// The scratch of deleted samplers, for the next samplers built. A loader
// builds a sampler for every batch, so that a batch's draws depend on the
// batch alone, and each new sampler used to grow its de-duplication and
// working tables from nothing: a third more time per batch than a sampler
// kept across calls. Process-wide and bounded, in scratches and in bytes
// (the oldest are freed first); safe to use from any thread.
class ScratchPool {
public:
    static constexpr std::size_t kMaxScratches = 4;
    static constexpr std::size_t kMaxBytes = std::size_t{256} << 20;

    static ScratchPool& instance();

    // A kept scratch, the most recently given; a new one if none is kept.
    std::unique_ptr<SamplerScratch> take();
    // Keeps the scratch, or frees it when it alone exceeds the bound.
    void give(std::unique_ptr<SamplerScratch> scratch) noexcept;
    // Frees every scratch kept.
    void clear() noexcept;

    std::size_t size() const;
    std::size_t bytes() const;

private:
    ScratchPool() { kept_.reserve(kMaxScratches); }

    mutable std::mutex mutex_;
    std::vector<std::pair<std::unique_ptr<SamplerScratch>, std::size_t>> kept_;  // oldest first, with its bytes
    std::size_t bytes_ = 0;
};

}  // namespace vornlib
