#include "binding/result_builder.h"

#include "binding/conversions.h"

namespace vornlib::binding {

SampleResult make_result(const GraphStore& store, const WorkingTables& tables, InterruptCheck& interrupts) {
    py::dict nodes, node_counts, batches;
    for (TypeId type = 0; type < store.type_count(); ++type) {
        const NodeTables& table = tables.nodes()[type];
        nodes[key_object(store.type_name(type))] = to_int64_array(table.ids);
        node_counts[key_object(store.type_name(type))] = to_int64_array(table.num_sampled);
        batches[key_object(store.type_name(type))] = to_int64_array(table.batches);
        interrupts.check();
    }
    py::dict edge_counts, rows, cols;
    for (KeyId key = 0; key < store.key_count(); ++key) {
        const EdgeTables& table = tables.edges()[key];
        // The leading 0 of the per-hop edge counts is never returned.
        edge_counts[key_object(store.key_name(key))] =
            to_int64_array(table.num_sampled.data() + 1, table.num_sampled.size() - 1);
        rows[key_object(store.key_name(key))] = to_int64_array(table.rows);
        cols[key_object(store.key_name(key))] = to_int64_array(table.cols);
        interrupts.check();
    }
    return {rows, cols, nodes, batches, node_counts, edge_counts};
}

}  // namespace vornlib::binding
