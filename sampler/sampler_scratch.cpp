#include "sampler/sampler_scratch.h"

namespace vornlib {

namespace {

template <typename T, typename A>
std::size_t bytes_of(const std::vector<T, A>& values) {
    return values.capacity() * sizeof(T);
}

std::size_t bytes_of(const Int64Table& table) { return table.capacity() * sizeof(std::int64_t); }

}  // namespace

std::size_t SamplerScratch::bytes() const {
    std::size_t total = bytes_of(workspace.frontier) + bytes_of(workspace.seed_times) +
                        bytes_of(workspace.positions) + bytes_of(workspace.node_ends) +
                        bytes_of(workspace.pair_hashes) + bytes_of(workspace.runs);
    for (const LocalNodeTable& table : workspace.local_index) {
        total += table.bytes();
    }
    for (const NodeTables& node : tables.nodes()) {
        total += bytes_of(node.num_sampled) + bytes_of(node.batches) + bytes_of(node.ids);
    }
    for (const EdgeTables& edge : tables.edges()) {
        total += bytes_of(edge.num_sampled) + bytes_of(edge.rows) + bytes_of(edge.cols);
    }
    return total;
}

ScratchPool& ScratchPool::instance() {
    // Never destroyed: a sampler may be deleted while the process exits,
    // after static objects are gone.
    static ScratchPool* const pool = new ScratchPool();
    return *pool;
}

std::unique_ptr<SamplerScratch> ScratchPool::take() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!kept_.empty()) {
            auto [scratch, bytes] = std::move(kept_.back());
            kept_.pop_back();
            bytes_ -= bytes;
            return std::move(scratch);
        }
    }
    return std::make_unique<SamplerScratch>();
}

void ScratchPool::give(std::unique_ptr<SamplerScratch> scratch) noexcept {
    if (!scratch) {
        return;
    }
    const std::size_t bytes = scratch->bytes();
    if (bytes > kMaxBytes) {
        return;  // freed with the pointer
    }
    std::lock_guard<std::mutex> lock(mutex_);
    while (kept_.size() == kMaxScratches || bytes_ + bytes > kMaxBytes) {
        bytes_ -= kept_.front().second;
        kept_.erase(kept_.begin());
    }
    kept_.emplace_back(std::move(scratch), bytes);  // room reserved up front: never throws
    bytes_ += bytes;
}

void ScratchPool::clear() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    kept_.clear();
    bytes_ = 0;
}

std::size_t ScratchPool::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_.size();
}

std::size_t ScratchPool::bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

}  // namespace vornlib
