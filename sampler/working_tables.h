#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "sampler/table_storage.h"

namespace vornlib {

// An allocator whose resize() leaves the added elements uninitialised: the
// tables are written right after they grow, and zeroing them first was a
// second pass over memory that every call paid for.
template <typename T>
struct UninitialisedOnResize : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedOnResize<U>;
    };
    UninitialisedOnResize() = default;
    template <typename U>
    UninitialisedOnResize(const UninitialisedOnResize<U>&) noexcept {}

    template <typename U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

// Scratch of a call that is written right after it grows.
template <typename T>
using ScratchVector = std::vector<T, UninitialisedOnResize<T>>;

// A working table: int64 values in one malloc'd block (table_memory) that
// grows by realloc, so that a large table is remapped rather than copied as
// it doubles. Added elements are left uninitialised, like ScratchVector's.
// A table of kHandOverBytes or more gives its block to whoever reports it
// (hand_over), which saves a copy into memory that is cold or that the
// system must first fault in; it then grows its next block from the
// StoragePool. Below that size a copy costs less than the array's owner.
class Int64Table {
public:
    static constexpr std::size_t kHandOverBytes = std::size_t{4} << 10;

    Int64Table() = default;
    Int64Table(std::initializer_list<std::int64_t> values);
    Int64Table(const Int64Table& other);
    Int64Table& operator=(const Int64Table& other);
    Int64Table(Int64Table&& other) noexcept;
    Int64Table& operator=(Int64Table&& other) noexcept;
    ~Int64Table() { release(); }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    std::int64_t* data() { return data_; }
    const std::int64_t* data() const { return data_; }
    std::int64_t& operator[](std::size_t index) { return data_[index]; }
    std::int64_t operator[](std::size_t index) const { return data_[index]; }
    std::int64_t& back() { return data_[size_ - 1]; }
    const std::int64_t* begin() const { return data_; }
    const std::int64_t* end() const { return data_ + size_; }

    void push_back(std::int64_t value) {
        if (size_ == capacity_) {
            grow_for(size_ + 1);
        }
        data_[size_++] = value;
    }
    void resize(std::size_t size) {
        if (size > capacity_) {
            grow_for(size);
        }
        size_ = size;
    }
    void reserve(std::size_t capacity) {
        if (capacity > capacity_) {
            reallocate(capacity);
        }
    }
    void assign(std::size_t count, std::int64_t value);
    // Empties the table and keeps its storage.
    void clear() { size_ = 0; }
    // Empties the table and frees its storage.
    void release() noexcept;

    // The one rule of which tables are handed over rather than copied.
    bool handed_over() const { return size_ * sizeof(std::int64_t) >= kHandOverBytes; }
    // The table's block, now the caller's (its values are the first size()
    // int64s, and it is at most twice that large); the table is left empty
    // without storage.
    TableBlock hand_over() noexcept;

    bool operator==(const Int64Table& other) const;

private:
    // Room for needed values, at least double the present room.
    void grow_for(std::size_t needed);
    void reallocate(std::size_t capacity);
    // A block this table no longer needs: to the pool if a result's could be as large.
    static void give_back(TableBlock block) noexcept;

    std::int64_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t handed_capacity_ = 0;  // room of the block handed over last: what to ask the pool for
};

// What one call samples for a node type. batches and ids are parallel, in
// local-index order: together they are the type's list of local nodes.
struct NodeTables {
    Int64Table num_sampled;  // seeds of this type, then new nodes per hop
    Int64Table batches;
    Int64Table ids;

    template <typename Visit>
    void for_each_table(Visit&& visit) {
        visit(num_sampled);
        visit(batches);
        visit(ids);
    }
};

// What one call samples for an edge type key.
struct EdgeTables {
    Int64Table num_sampled;  // a leading 0, then edges per hop
    Int64Table rows;         // local index of the source node
    Int64Table cols;         // local index of the destination node

    template <typename Visit>
    void for_each_table(Visit&& visit) {
        visit(num_sampled);
        visit(rows);
        visit(cols);
    }
};

// The six working tables, indexed by node type id and edge key id. Empty
// between calls; emptying keeps the vectors' storage for the next call.
class WorkingTables {
public:
    const std::vector<NodeTables>& nodes() const { return nodes_; }
    const std::vector<EdgeTables>& edges() const { return edges_; }
    std::vector<NodeTables>& nodes() { return nodes_; }
    std::vector<EdgeTables>& edges() { return edges_; }
    NodeTables& node(std::size_t type) { return nodes_[type]; }
    EdgeTables& edge(std::size_t key) { return edges_[key]; }

    // Empties the tables and frees their storage.
    void release() noexcept;

private:
    friend class TablesInUse;

    // Every table empty, then a count of 0 for the seeds and for the leading
    // entry of the edge counts.
    void start(std::size_t type_count, std::size_t key_count);
    void clear();

    std::vector<NodeTables> nodes_;
    std::vector<EdgeTables> edges_;
};

// Starts the working tables for one call and empties them when the call
// ends, however it ends: the only code that does either. Their storage stays
// (NeighborSampler::sample decides when a failed call's is freed).
class TablesInUse {
public:
    TablesInUse(WorkingTables& tables, std::size_t type_count, std::size_t key_count) : tables_(tables) {
        tables_.start(type_count, key_count);
    }
    ~TablesInUse() { tables_.clear(); }
    TablesInUse(const TablesInUse&) = delete;
    TablesInUse& operator=(const TablesInUse&) = delete;

private:
    WorkingTables& tables_;
};

}  // namespace vornlib
