// Registers vornlib.NeighborSampler: its constructor and sample method. The
// work behind them starts in python_sampler.cpp; a call of sample reaches it
// through sample_call.cpp.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "binding/python_sampler.h"
#include "binding/sample_call.h"

namespace py = pybind11;
using vornlib::binding::EdgeTypeTuple;
using vornlib::binding::PythonSampler;

PYBIND11_MODULE(vornlib, m) {
    py::class_<PythonSampler> sampler_class(m, "NeighborSampler");
    sampler_class
        .def(py::init([](std::vector<std::string> node_types, std::vector<EdgeTypeTuple> edge_types,
                         const py::dict& colptr, const py::dict& row, const py::object& node_time, int seed) {
                 // dict(...) of anything that is not already a dict, as the caller would write it.
                 const py::dict node_time_dict(node_time);
                 return std::make_unique<PythonSampler>(std::move(node_types), std::move(edge_types), colptr,
                                                        row, node_time_dict, seed);
             }),
             py::arg("node_types"), py::arg("edge_types"), py::arg("colptr"), py::arg("row"),
             py::arg("node_time"), py::arg("seed") = 123)
        .def("sample", &PythonSampler::sample, py::arg("num_neighbors"), py::arg("sampling_time_offsets"),
             py::arg("entity_table"), py::arg("seed_node"), py::arg("seed_time"));
    vornlib::binding::install_sample_call(sampler_class);
}
