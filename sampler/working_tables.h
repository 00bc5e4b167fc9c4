#pragma once

#include <cstdint>
#include <vector>

namespace vornlib {

// What one call samples for a node type. batches and ids are parallel, in
// local-index order: together they are the type's list of local nodes.
struct NodeTables {
    std::vector<std::int64_t> num_sampled;  // seeds of this type, then new nodes per hop
    std::vector<std::int64_t> batches;
    std::vector<std::int64_t> ids;
};

// What one call samples for an edge type key.
struct EdgeTables {
    std::vector<std::int64_t> num_sampled;  // a leading 0, then edges per hop
    std::vector<std::int64_t> rows;         // local index of the source node
    std::vector<std::int64_t> cols;         // local index of the destination node
};

// The six working tables, indexed by node type id and edge key id. Empty
// between calls; clear() keeps the vectors' storage for the next call.
struct WorkingTables {
    std::vector<NodeTables> nodes;
    std::vector<EdgeTables> edges;

    void start(std::size_t type_count, std::size_t key_count);
    void clear();
    // Empties the tables and frees their storage.
    void release();
};

}  // namespace vornlib
