#include "binding/result_builder.h"

#include <cstdint>

#include "binding/conversions.h"

namespace vornlib::binding {

namespace {

constexpr const char* kBlockName = "vornlib.table_block";

void give_block_back(PyObject* capsule) {
    void* data = PyCapsule_GetPointer(capsule, kBlockName);
    const auto bytes = reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule));
    StoragePool::instance().give(TableBlock{data, static_cast<std::size_t>(bytes)});
}

// A new array over the table's block, which the array's base, a capsule,
// owns from now on; the table is left without storage.
py::array handed_over_array(Int64Table& table) {
    const std::size_t count = table.size();
    const TableBlock block = table.hand_over();
    PyObject* capsule = PyCapsule_New(block.data, kBlockName, give_block_back);
    if (capsule == nullptr || PyCapsule_SetContext(capsule, reinterpret_cast<void*>(block.bytes)) != 0) {
        if (capsule == nullptr) {
            StoragePool::instance().give(block);
        }
        Py_XDECREF(capsule);
        throw py::error_already_set();
    }
    return new_int64_array(count, static_cast<std::int64_t*>(block.data), py::reinterpret_steal<py::object>(capsule));
}

py::array result_array(Int64Table& table) {
    return table.handed_over() ? handed_over_array(table) : to_int64_array(table.data(), table.size());
}

// pybind11's item assignment goes through the generic mapping protocol.
void set_item(const py::dict& dict, const py::str& key, const py::array& value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) {
        throw py::error_already_set();
    }
}

}  // namespace

SampleResult make_result(const GraphStore& store, const KeyObjects& keys, WorkingTables& tables,
                         InterruptCheck& interrupts) {
    interrupts.check();
    py::dict nodes, node_counts, batches;
    for (TypeId type = 0; type < store.type_count(); ++type) {
        NodeTables& table = tables.nodes()[type];
        const py::str& name = keys.type_names[type];
        set_item(nodes, name, result_array(table.ids));
        set_item(node_counts, name, result_array(table.num_sampled));
        set_item(batches, name, result_array(table.batches));
    }
    py::dict edge_counts, rows, cols;
    for (KeyId key = 0; key < store.key_count(); ++key) {
        EdgeTables& table = tables.edges()[key];
        const py::str& name = keys.key_names[key];
        // The leading 0 of the per-hop edge counts is never returned.
        set_item(edge_counts, name, to_int64_array(table.num_sampled.data() + 1, table.num_sampled.size() - 1));
        set_item(rows, name, result_array(table.rows));
        set_item(cols, name, result_array(table.cols));
    }
    return {rows, cols, nodes, batches, node_counts, edge_counts};
}

}  // namespace vornlib::binding
