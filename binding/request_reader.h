#pragma once

// The checks of a sample request, in their fixed order, and the reading of
// its per-edge-type parameters (counts up front, window offsets hop by hop).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "sampler/graph_store.h"
#include "sampler/sample_request.h"

namespace vornlib::binding {

namespace py = pybind11;

// Reads window offsets hop by hop through ordinary Python item access on the
// values the caller gave, so errors surface at the hop that meets them.
class PythonWindows final : public WindowSource {
public:
    explicit PythonWindows(std::size_t key_count) : values_(key_count) {}

    void set(KeyId key, py::object value) { values_[key] = std::move(value); }
    HopParameter window_at(KeyId key, std::size_t hop) override;

private:
    std::vector<py::object> values_;
};

// Tests 1 to 6 of a request: nothing of the call exists yet when they run.
// Returns the request with its entity type and seed arrays; the arrays that
// own the seeds are appended to keep_alive.
SampleRequest check_request(const GraphStore& store, const py::dict& num_neighbors,
                            const py::dict& sampling_time_offsets, const std::string& entity_table,
                            const py::array& seed_node, const py::array& seed_time,
                            std::vector<py::object>& keep_alive);

// Test 7: one pass over edge_types deciding every key's mode, checking
// windows and finding the number of hops.
void resolve_keys(const GraphStore& store, const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                  SampleRequest& request, PythonWindows& windows, std::vector<py::object>& keep_alive);

}  // namespace vornlib::binding
