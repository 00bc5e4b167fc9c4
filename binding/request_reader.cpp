#include "binding/request_reader.h"

#include <algorithm>
#include <utility>

#include "binding/conversions.h"
#include "binding/errors.h"
#include "sampler/errors.h"

namespace vornlib::binding {

HopParameter PythonWindows::window_at(KeyId key, std::size_t hop) {
    const py::object offsets = values_[key][py::int_(hop)];
    const py::object start = offsets[py::int_(0)];
    const bool has_start = !start.is_none();
    const std::int64_t start_offset = has_start ? int64_from(start) : 0;
    const std::int64_t end_offset = int64_from(offsets[py::int_(1)]);
    return HopParameter::window(has_start, start_offset, end_offset);
}

SampleRequest check_request(const GraphStore& store, const py::dict& num_neighbors,
                            const py::dict& sampling_time_offsets, const std::string& entity_table,
                            const py::array& seed_node, const py::array& seed_time,
                            std::vector<py::object>& keep_alive) {
    check_typed_dict(num_neighbors, "num_neighbors", store.edge_type_keys(), 1, true);
    check_typed_dict(sampling_time_offsets, "sampling_time_offsets", store.edge_type_keys(), 2, false);
    check_array(seed_node, "seed_node", 1, true);
    check_array(seed_time, "seed_time", 1, true);
    const auto entity = store.find_type(entity_table);
    if (!entity) {
        errors::invalid_entity_table(entity_table);
    }
    if (store.has_node_time() && seed_time.size() > 0 && seed_time.size() != seed_node.size()) {
        vornlib::errors::seed_size_mismatch();
    }
    SampleRequest request;
    request.entity_type = *entity;
    request.seed_node = keep_int64_view(seed_node, keep_alive);
    request.seed_time = keep_int64_view(seed_time, keep_alive);
    return request;
}

void resolve_keys(const GraphStore& store, const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                  SampleRequest& request, PythonWindows& windows, std::vector<py::object>& keep_alive) {
    request.keys.assign(store.key_count(), KeyRequest{});
    for (std::size_t entry = 0; entry < store.edge_types().size(); ++entry) {
        const std::string& key = store.edge_type_keys()[entry];
        const KeyId key_id = store.key_of_entry(entry);
        const py::str key_str = key_object(key);
        const bool counted = num_neighbors.contains(key_str);
        if (counted && sampling_time_offsets.contains(key_str)) {
            errors::mode_conflict(key);
        }
        if (counted) {
            const Int64Span counts = keep_int64_view(num_neighbors[key_str], keep_alive);
            request.keys[key_id] = KeyRequest{HopParameter::Mode::count, counts};
            request.num_hops = std::max(request.num_hops, counts.size_as_count());
            continue;
        }
        py::object value = sampling_time_offsets[key_str];
        const TypeId source = store.source_of_entry(entry);
        if (source == kNoType || store.node_time(source) == nullptr) {
            errors::window_without_time(key, store.edge_types()[entry].source);
        }
        const py::array offsets = as_array(value);
        if (offsets.shape(1) != 2) {
            errors::window_not_pairs(key);
        }
        request.keys[key_id] = KeyRequest{HopParameter::Mode::window, Int64Span{}};
        request.num_hops = std::max(request.num_hops, static_cast<std::size_t>(offsets.shape(0)));
        windows.set(key_id, std::move(value));
    }
}

}  // namespace vornlib::binding
