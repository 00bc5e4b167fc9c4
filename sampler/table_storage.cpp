#include "sampler/table_storage.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace vornlib {

namespace table_memory {

namespace {

std::atomic<Fault> installed_fault{nullptr};

}  // namespace

void* resize(void* block, std::size_t bytes) {
    const Fault fault = installed_fault.load(std::memory_order_relaxed);
    if (fault != nullptr && fault()) {
        throw std::bad_alloc();
    }
    void* resized = std::realloc(block, bytes == 0 ? 1 : bytes);
    if (resized == nullptr) {
        throw std::bad_alloc();  // realloc left the block as it was
    }
    return resized;
}

void free(void* block) noexcept { std::free(block); }

void set_fault(Fault fault) noexcept { installed_fault.store(fault, std::memory_order_relaxed); }

}  // namespace table_memory

StoragePool& StoragePool::instance() {
    // Never destroyed: a result array may give its block back while the
    // process exits, after static objects are gone.
    static StoragePool* const pool = new StoragePool();
    return *pool;
}

void StoragePool::give(TableBlock block) noexcept {
    if (block.data == nullptr) {
        return;
    }
    if (block.bytes > kMaxBytes) {
        table_memory::free(block.data);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    while (blocks_.size() == kMaxBlocks || bytes_ + block.bytes > kMaxBytes) {
        table_memory::free(remove(0).data);
    }
    blocks_.push_back(block);  // room reserved up front: never throws
    bytes_ += block.bytes;
}

TableBlock StoragePool::take(std::size_t needed, std::size_t preferred) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t best = blocks_.size();
    for (const std::size_t floor : {preferred > needed ? preferred : needed, needed}) {
        for (std::size_t i = 0; i < blocks_.size(); ++i) {
            if (blocks_[i].bytes >= floor && (best == blocks_.size() || blocks_[i].bytes < blocks_[best].bytes)) {
                best = i;
            }
        }
        if (best != blocks_.size()) {
            return remove(best);
        }
    }
    return TableBlock{};
}

void StoragePool::clear() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!blocks_.empty()) {
        table_memory::free(remove(blocks_.size() - 1).data);
    }
}

std::size_t StoragePool::blocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.size();
}

std::size_t StoragePool::bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

TableBlock StoragePool::remove(std::size_t index) noexcept {
    const TableBlock block = blocks_[index];
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(index));
    bytes_ -= block.bytes;
    return block;
}

}  // namespace vornlib
