#pragma once

// The object behind vornlib.NeighborSampler: construction and one sample call
// from start to finish, with the guards that keep a call whole.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "binding/request_reader.h"
#include "binding/result_builder.h"
#include "binding/store_builder.h"
#include "sampler/neighbor_sampler.h"

namespace vornlib::binding {

namespace py = pybind11;

// The native sampler plus the Python arrays its store reads in place, held
// for the sampler's whole life.
class PythonSampler {
public:
    PythonSampler(std::vector<std::string> node_types, std::vector<EdgeTypeTuple> edge_types,
                  const py::dict& colptr, const py::dict& row, const py::dict& node_time, int seed);

    SampleResult sample(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                        const std::string& entity_table, const py::array& seed_node,
                        const py::array& seed_time);

private:
    // Declared before core_ so that the arrays outlive the spans into them.
    std::vector<py::object> graph_arrays_;
    NeighborSampler core_;
    KeyObjects keys_;
    bool sampling_ = false;
    // The caller's objects a call holds while it runs: the arrays its spans
    // read and its window offsets. Empty between calls; kept only for their
    // storage, which a call would otherwise allocate when memory is cold.
    std::vector<py::object> request_arrays_;
    PythonWindows windows_;
};

}  // namespace vornlib::binding
