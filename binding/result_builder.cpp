#include "binding/result_builder.h"

#include "binding/conversions.h"

namespace vornlib::binding {

SampleResult make_result(const GraphStore& store, const KeyObjects& keys, const WorkingTables& tables,
                         InterruptCheck& interrupts) {
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
        const py::str& name = keys.type_names[type];
        nodes[name] = copy(table.ids);
        node_counts[name] = copy(table.num_sampled);
        batches[name] = copy(table.batches);
    }
    py::dict edge_counts, rows, cols;
    for (KeyId key = 0; key < store.key_count(); ++key) {
        const EdgeTables& table = tables.edges()[key];
        // The leading 0 of the per-hop edge counts is never returned.
        const py::str& name = keys.key_names[key];
        edge_counts[name] = copied(table.num_sampled.data() + 1, table.num_sampled.size() - 1);
        rows[name] = copy(table.rows);
        cols[name] = copy(table.cols);
    }
    return {rows, cols, nodes, batches, node_counts, edge_counts};
}

}  // namespace vornlib::binding
