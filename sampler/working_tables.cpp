#include "sampler/working_tables.h"

namespace vornlib {

void WorkingTables::start(std::size_t type_count, std::size_t key_count) {
    nodes.resize(type_count);
    edges.resize(key_count);
    for (NodeTables& node : nodes) {
        node.num_sampled.assign(1, 0);
        node.batches.clear();
        node.ids.clear();
    }
    for (EdgeTables& edge : edges) {
        edge.num_sampled.assign(1, 0);
        edge.rows.clear();
        edge.cols.clear();
    }
}

void WorkingTables::clear() {
    for (NodeTables& node : nodes) {
        node.num_sampled.clear();
        node.batches.clear();
        node.ids.clear();
    }
    for (EdgeTables& edge : edges) {
        edge.num_sampled.clear();
        edge.rows.clear();
        edge.cols.clear();
    }
}

void WorkingTables::release() {
    nodes = std::vector<NodeTables>{};
    edges = std::vector<EdgeTables>{};
}

}  // namespace vornlib
