#include "sampler/working_tables.h"

namespace vornlib {

namespace {

struct Empty {
    void operator()(Int64Table& table) const { table.clear(); }
};

}  // namespace

void WorkingTables::start(std::size_t type_count, std::size_t key_count) {
    clear();
    nodes_.resize(type_count);
    edges_.resize(key_count);
    for (NodeTables& node : nodes_) {
        node.num_sampled.push_back(0);
    }
    for (EdgeTables& edge : edges_) {
        edge.num_sampled.push_back(0);
    }
}

void WorkingTables::clear() {
    for (NodeTables& node : nodes_) {
        node.for_each_table(Empty{});
    }
    for (EdgeTables& edge : edges_) {
        edge.for_each_table(Empty{});
    }
}

void WorkingTables::release() noexcept {
    nodes_ = std::vector<NodeTables>{};
    edges_ = std::vector<EdgeTables>{};
}

}  // namespace vornlib
