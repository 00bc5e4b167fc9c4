#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <utility>
#include <vector>

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

// A working table, or scratch of a call that is written right after it grows.
template <typename T>
using ScratchVector = std::vector<T, UninitialisedOnResize<T>>;
using Int64Table = ScratchVector<std::int64_t>;

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
    NodeTables& node(std::size_t type) { return nodes_[type]; }
    EdgeTables& edge(std::size_t key) { return edges_[key]; }

private:
    friend class TablesInUse;

    // Every table empty, then a count of 0 for the seeds and for the leading
    // entry of the edge counts.
    void start(std::size_t type_count, std::size_t key_count);
    void clear();
    // Empties the tables and frees their storage.
    void release() noexcept;

    std::vector<NodeTables> nodes_;
    std::vector<EdgeTables> edges_;
};

// Starts the working tables for one call and empties them when the call
// ends, however it ends: the only code that does either. A call that fails
// also gives their storage back, since it may have grown them to the limit of
// memory.
class TablesInUse {
public:
    TablesInUse(WorkingTables& tables, std::size_t type_count, std::size_t key_count)
        : tables_(tables), exceptions_(std::uncaught_exceptions()) {
        try {
            tables_.start(type_count, key_count);
        } catch (...) {
            tables_.release();
            throw;
        }
    }
    ~TablesInUse() {
        if (std::uncaught_exceptions() > exceptions_) {
            tables_.release();
        } else {
            tables_.clear();
        }
    }
    TablesInUse(const TablesInUse&) = delete;
    TablesInUse& operator=(const TablesInUse&) = delete;

private:
    WorkingTables& tables_;
    int exceptions_;
};

}  // namespace vornlib
