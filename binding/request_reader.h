#pragma once

// The checks of a sample request, in their fixed order, and the reading of
// its per-edge-type parameters (counts up front, window offsets hop by hop).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "binding/conversions.h"
#include "sampler/graph_store.h"
#include "sampler/sample_request.h"

namespace vornlib::binding {

namespace py = pybind11;

// Reads window offsets hop by hop through ordinary Python item access on the
// values the caller gave, so errors surface at the hop that meets them. A
// plain int64 array (exactly an ndarray, native int64, two columns) is read
// from its buffer instead: item access on it runs no code of the caller's and
// gives the same values, at a fraction of the cost. A hop past its rows still
// goes through item access, which raises the error.
class PythonWindows final : public WindowSource {
public:
    explicit PythonWindows(std::size_t key_count) : values_(key_count) {}

    void set(KeyId key, py::object value);
    HopParameter window_at(KeyId key, std::size_t hop) override;
    // Drops every value set; the storage stays for the next call.
    void clear() noexcept;

private:
    // A plain array's buffer: row r holds its offsets at data + r * row_stride
    // and data + r * row_stride + column_stride (in bytes).
    struct Plain {
        const char* data = nullptr;
        std::size_t rows = 0;
        py::ssize_t row_stride = 0;
        py::ssize_t column_stride = 0;
    };
    struct Entry {
        py::object value;  // owns the buffer plain reads
        Plain plain;
    };

    std::vector<Entry> values_;
};

// Tests 1 to 6 of a request: nothing of the call exists yet when they run.
// Returns the request with its entity type and seed arrays; the arrays that
// own the seeds are appended to keep_alive.
SampleRequest check_request(const GraphStore& store, const py::dict& num_neighbors,
                            const py::dict& sampling_time_offsets, const std::string& entity_table,
                            const py::array& seed_node, const py::array& seed_time,
                            std::vector<py::object>& keep_alive);

// Test 7: one pass over edge_types deciding every key's mode, checking
// windows and finding the number of hops. keys: the store's own.
void resolve_keys(const GraphStore& store, const KeyObjects& keys, const py::dict& num_neighbors,
                  const py::dict& sampling_time_offsets, SampleRequest& request, PythonWindows& windows,
                  std::vector<py::object>& keep_alive);

}  // namespace vornlib::binding
