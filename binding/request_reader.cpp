#include "binding/request_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "binding/conversions.h"
#include "binding/errors.h"
#include "sampler/errors.h"

namespace vornlib::binding {

namespace {

bool is_plain_int64(const py::array& array) {
    return Py_TYPE(array.ptr()) == py::detail::npy_api::get().PyArray_Type_ &&
           array.dtype().equal(py::dtype::of<std::int64_t>()) && array.ndim() == 2 && array.shape(1) == 2;
}

std::int64_t read_int64(const char* at) {
    std::int64_t value = 0;
    std::memcpy(&value, at, sizeof value);  // the caller's buffer need not be aligned
    return value;
}

}  // namespace

void PythonWindows::set(KeyId key, py::object value) {
    Entry& entry = values_[key];
    entry.plain = Plain{};
    if (py::isinstance<py::array>(value)) {
        const auto array = py::reinterpret_borrow<py::array>(value);
        if (is_plain_int64(array)) {
            entry.plain = Plain{static_cast<const char*>(array.data()), static_cast<std::size_t>(array.shape(0)),
                                array.strides(0), array.strides(1)};
        }
    }
    entry.value = std::move(value);
}

void PythonWindows::clear() noexcept {
    for (Entry& entry : values_) {
        entry.plain = Plain{};
        entry.value = py::object();
    }
}

HopParameter PythonWindows::window_at(KeyId key, std::size_t hop) {
    const Entry& entry = values_[key];
    if (entry.plain.data != nullptr && hop < entry.plain.rows) {
        const char* row = entry.plain.data + static_cast<py::ssize_t>(hop) * entry.plain.row_stride;
        return HopParameter::window(true, read_int64(row), read_int64(row + entry.plain.column_stride));
    }
    const py::object offsets = entry.value[py::int_(hop)];
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

void resolve_keys(const GraphStore& store, const KeyObjects& keys, const py::dict& num_neighbors,
                  const py::dict& sampling_time_offsets, SampleRequest& request, PythonWindows& windows,
                  std::vector<py::object>& keep_alive) {
    request.keys.assign(store.key_count(), KeyRequest{});
    for (std::size_t entry = 0; entry < store.edge_types().size(); ++entry) {
        const std::string& key = store.edge_type_keys()[entry];
        const KeyId key_id = store.key_of_entry(entry);
        const py::str& key_str = keys.entry_keys[entry];
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
