#pragma once

// The constructor's order of work: keys, the three typed checks, then the
// adjacency and timestamp lookups that fill the graph store.

#include <pybind11/pybind11.h>

#include <string>
#include <tuple>
#include <vector>

#include "sampler/graph_store.h"

namespace vornlib::binding {

namespace py = pybind11;

using EdgeTypeTuple = std::tuple<std::string, std::string, std::string>;

// Builds the store over the caller's arrays. Every array a span points into
// (the caller's, or a converted copy) is appended to keep_alive.
GraphStore build_store(std::vector<std::string> node_types, std::vector<EdgeTypeTuple> edge_types,
                       const py::dict& colptr, const py::dict& row, const py::dict& node_time,
                       std::vector<py::object>& keep_alive);

}  // namespace vornlib::binding
