#include "binding/python_sampler.h"

#include <algorithm>
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

Int64Span keep_int64_view(py::handle value, std::vector<py::object>& keep_alive) {
    Int64Array view = int64_view(as_array(value));
    keep_alive.push_back(std::move(view.owner));
    return view.span;
}

// Builds the store exactly in the constructor's order: keys, the three typed
// checks, the adjacency lookups in key order, then the timestamp lookups.
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

// Marks a sampler busy for one call; an overlapping call (re-entered from
// Python code the first one runs) is refused instead of corrupting it.
class SamplingGuard {
public:
    explicit SamplingGuard(bool& flag) : flag_(flag) {
        if (flag_) {
            throw_already_sampling();
        }
        flag_ = true;
    }
    ~SamplingGuard() { flag_ = false; }
    SamplingGuard(const SamplingGuard&) = delete;
    SamplingGuard& operator=(const SamplingGuard&) = delete;

private:
    bool& flag_;
};

// Empties the working tables when a call ends, however it ends.
class WorkingTablesReset {
public:
    explicit WorkingTablesReset(NeighborSampler& sampler) : sampler_(sampler) {}
    ~WorkingTablesReset() { sampler_.clear_working_tables(); }
    WorkingTablesReset(const WorkingTablesReset&) = delete;
    WorkingTablesReset& operator=(const WorkingTablesReset&) = delete;

private:
    NeighborSampler& sampler_;
};

// Reads window offsets hop by hop through ordinary Python item access on the
// values the caller gave, so errors surface at the hop that meets them.
class PythonWindows final : public WindowSource {
public:
    explicit PythonWindows(std::size_t key_count) : values_(key_count) {}

    void set(KeyId key, py::object value) { values_[key] = std::move(value); }

    HopParameter window_at(KeyId key, std::size_t hop) override {
        const py::object offsets = values_[key][py::int_(hop)];
        const py::object start = offsets[py::int_(0)];
        const bool has_start = !start.is_none();
        const std::int64_t start_offset = has_start ? int64_from(start) : 0;
        const std::int64_t end_offset = int64_from(offsets[py::int_(1)]);
        return HopParameter::window(has_start, start_offset, end_offset);
    }

private:
    std::vector<py::object> values_;
};

// Lets Python's signal handlers run while a call works: a handler that
// raises (KeyboardInterrupt from Ctrl+C, or the caller's own exception) aborts
// the call. PyErr_CheckSignals needs the interpreter lock, which every call
// holds throughout, and does nothing outside the main thread.
class PythonSignals final : public InterruptCheck {
public:
    void check() override {
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }
};

// Tests 1 to 6 of a request: nothing of the call exists yet when they run.
TypeId check_request(const GraphStore& store, const py::dict& num_neighbors,
                     const py::dict& sampling_time_offsets, const std::string& entity_table,
                     const py::array& seed_node, const py::array& seed_time) {
    check_typed_dict(num_neighbors, "num_neighbors", store.edge_type_keys(), 1, true);
    check_typed_dict(sampling_time_offsets, "sampling_time_offsets", store.edge_type_keys(), 2, false);
    check_array(seed_node, "seed_node", 1, true);
    check_array(seed_time, "seed_time", 1, true);
    const auto entity = store.find_type(entity_table);
    if (!entity) {
        throw_invalid_entity_table(entity_table);
    }
    if (store.has_node_time() && seed_time.size() > 0 && seed_time.size() != seed_node.size()) {
        throw_seed_size_mismatch();
    }
    return *entity;
}

// Test 7: one pass over edge_types deciding every mode, checking windows and
// finding the number of hops.
void resolve_modes(const GraphStore& store, const py::dict& num_neighbors,
                   const py::dict& sampling_time_offsets, SampleRequest& request, PythonWindows& windows,
                   std::vector<py::object>& keep_alive) {
    request.modes.assign(store.key_count(), EdgeMode{});
    for (std::size_t entry = 0; entry < store.edge_types().size(); ++entry) {
        const std::string& key = store.edge_type_keys()[entry];
        const KeyId key_id = store.key_of_entry(entry);
        const py::str key_str = key_object(key);
        const bool counted = num_neighbors.contains(key_str);
        if (counted && sampling_time_offsets.contains(key_str)) {
            throw_mode_conflict(key);
        }
        if (counted) {
            const Int64Span counts = keep_int64_view(num_neighbors[key_str], keep_alive);
            request.modes[key_id] = EdgeMode{false, counts};
            request.num_hops = std::max(request.num_hops, static_cast<std::size_t>(counts.size));
            continue;
        }
        py::object value = sampling_time_offsets[key_str];
        const TypeId source = store.source_of_entry(entry);
        if (source == kNoType || store.node_time(source) == nullptr) {
            throw_window_without_time(key, store.edge_types()[entry].source);
        }
        const py::array offsets = as_array(value);
        if (offsets.shape(1) != 2) {
            throw_window_not_pairs(key);
        }
        request.modes[key_id] = EdgeMode{true, Int64Span{}};
        request.num_hops = std::max(request.num_hops, static_cast<std::size_t>(offsets.shape(0)));
        windows.set(key_id, std::move(value));
    }
}

SampleResult make_result(const GraphStore& store, const WorkingTables& tables) {
    py::dict nodes, node_counts, batches;
    for (TypeId type = 0; type < store.type_count(); ++type) {
        const NodeTables& table = tables.nodes[type];
        nodes[key_object(store.type_name(type))] = to_int64_array(table.ids);
        node_counts[key_object(store.type_name(type))] = to_int64_array(table.num_sampled);
        batches[key_object(store.type_name(type))] = to_int64_array(table.batches);
    }
    py::dict edge_counts, rows, cols;
    for (KeyId key = 0; key < store.key_count(); ++key) {
        const EdgeTables& table = tables.edges[key];
        // The leading 0 of the per-hop edge counts is never returned.
        edge_counts[key_object(store.key_name(key))] =
            to_int64_array(table.num_sampled.data() + 1, table.num_sampled.size() - 1);
        rows[key_object(store.key_name(key))] = to_int64_array(table.rows);
        cols[key_object(store.key_name(key))] = to_int64_array(table.cols);
    }
    return {rows, cols, nodes, batches, node_counts, edge_counts};
}

}  // namespace

PythonSampler::PythonSampler(std::vector<std::string> node_types, std::vector<EdgeTypeTuple> edge_types,
                             const py::dict& colptr, const py::dict& row, const py::dict& node_time, int seed)
    : graph_arrays_(),
      core_(build_store(std::move(node_types), std::move(edge_types), colptr, row, node_time, graph_arrays_),
            static_cast<std::uint32_t>(seed)) {}

SampleResult PythonSampler::sample(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                                   const std::string& entity_table, const py::array& seed_node,
                                   const py::array& seed_time) {
    SamplingGuard guard(sampling_);
    const GraphStore& store = core_.store();
    SampleRequest request;
    request.entity_type =
        check_request(store, num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time);

    std::vector<py::object> request_arrays;  // alive until the call returns
    request.seed_node = keep_int64_view(seed_node, request_arrays);
    request.seed_time = keep_int64_view(seed_time, request_arrays);

    WorkingTablesReset reset(core_);
    PythonWindows windows(store.key_count());
    resolve_modes(store, num_neighbors, sampling_time_offsets, request, windows, request_arrays);
    PythonSignals signals;
    core_.sample(request, windows, signals);
    return make_result(store, core_.working_tables());
}

}  // namespace vornlib::binding
