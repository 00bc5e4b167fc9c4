#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace vornlib {

// A malloc'd block of the working tables and its size in bytes.
struct TableBlock {
    void* data = nullptr;
    std::size_t bytes = 0;
};

// Every block of the working tables is allocated, grown and freed here:
// realloc, so that glibc can remap a large block in place instead of copying
// it as the table doubles.
namespace table_memory {

// The block resized to bytes (allocated when block is null); its contents
// kept up to the smaller size. Throws std::bad_alloc and leaves block as it
// was when memory is short.
void* resize(void* block, std::size_t bytes);
void free(void* block) noexcept;

// Tests install a function asked before every allocation; when it returns
// true the allocation fails as if memory were short. nullptr removes it.
using Fault = bool (*)();
void set_fault(Fault fault) noexcept;

}  // namespace table_memory

// The blocks of result arrays that Python has freed, kept for the tables of
// the next calls. A block's pages are already in memory; a fresh block from
// the system faults every page in again, and for a big call that cost as
// much as a copy of its result. Process-wide and bounded, in blocks and in
// bytes: the oldest blocks are freed first. Safe to use from any thread.
class StoragePool {
public:
    static constexpr std::size_t kMaxBlocks = 64;
    static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

    static StoragePool& instance();

    // Keeps the block, or frees it when it alone exceeds the bound.
    void give(TableBlock block) noexcept;
    // The smallest block of at least preferred bytes, else the smallest of
    // at least needed bytes, taken out of the pool; an empty block if none.
    TableBlock take(std::size_t needed, std::size_t preferred) noexcept;
    // Frees every block kept.
    void clear() noexcept;

    std::size_t blocks() const;
    std::size_t bytes() const;

private:
    StoragePool() { blocks_.reserve(kMaxBlocks); }
    TableBlock remove(std::size_t index) noexcept;

    mutable std::mutex mutex_;
    std::vector<TableBlock> blocks_;  // oldest first
    std::size_t bytes_ = 0;
};

}  // namespace vornlib
