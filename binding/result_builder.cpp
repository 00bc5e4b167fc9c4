#include "binding/result_builder.h"

#include "binding/conversions.h"

namespace vornlib::binding {

SampleResult make_result(const GraphStore& store, const WorkingTables& tables, InterruptCheck& interrupts) {
    // Each copy may be long for a huge call; a pending interrupt is seen after it.
    const auto copied = [&](const std::int64_t* data, std::size_t count) {
        py::array array = to_int64_array(data, count);
        interrupts.check();
        return array;
    };
    const auto copy = [&](const Int64Table& values) { return copied(values.data(), values.size()); };
    py::dict nodes, node_counts, batches;
    for (TypeId type = 0; type < store.type_count(); ++type) {
        const NodeTables& table = tables.nodes()[type];
        nodes[key_object(store.type_name(type))] = copy(table.ids);
        node_counts[key_object(store.type_name(type))] = copy(table.num_sampled);
        batches[key_object(store.type_name(type))] = copy(table.batches);
    }
    py::dict edge_counts, rows, cols;
    for (KeyId key = 0; key < store.key_count(); ++key) {
        const EdgeTables& table = tables.edges()[key];
        // The leading 0 of the per-hop edge counts is never returned.
        edge_counts[key_object(store.key_name(key))] =
            copied(table.num_sampled.data() + 1, table.num_sampled.size() - 1);
        rows[key_object(store.key_name(key))] = copy(table.rows);
        cols[key_object(store.key_name(key))] = copy(table.cols);
    }
    return {rows, cols, nodes, batches, node_counts, edge_counts};
}

}  // namespace vornlib::binding
