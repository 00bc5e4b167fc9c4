#include "binding/store_builder.h"

#include <utility>

#include "binding/conversions.h"

namespace vornlib::binding {

namespace {

std::vector<EdgeType> to_edge_types(std::vector<EdgeTypeTuple> tuples) {
    std::vector<EdgeType> edge_types;
    edge_types.reserve(tuples.size());
    for (auto& [source, relation, destination] : tuples) {
        edge_types.push_back({std::move(source), std::move(relation), std::move(destination)});
    }
    return edge_types;
}

}  // namespace

GraphStore build_store(std::vector<std::string> node_types, std::vector<EdgeTypeTuple> edge_types,
                       const py::dict& colptr, const py::dict& row, const py::dict& node_time,
                       std::vector<py::object>& keep_alive) {
    GraphStore store(std::move(node_types), to_edge_types(std::move(edge_types)));
    check_typed_dict(colptr, "colptr", store.edge_type_keys(), 1, true);
    check_typed_dict(row, "row", store.edge_type_keys(), 1, true);
    store.set_has_node_time(!node_time.empty());
    check_typed_dict(node_time, "node_time", store.node_types(), 1, true);

    for (std::size_t entry = 0; entry < store.edge_type_keys().size(); ++entry) {
        const py::str key = key_object(store.edge_type_keys()[entry]);
        const Int64Span colptr_span = keep_int64_view(colptr[key], keep_alive);
        const Int64Span row_span = keep_int64_view(row[key], keep_alive);
        store.set_adjacency(store.key_of_entry(entry), colptr_span, row_span);
    }
    for (std::size_t entry = 0; entry < store.node_types().size(); ++entry) {
        const py::str key = key_object(store.node_types()[entry]);
        if (node_time.contains(key)) {
            store.set_node_time(store.type_of_entry(entry), keep_int64_view(node_time[key], keep_alive));
        }
    }
    return store;
}

}  // namespace vornlib::binding
