#pragma once

// How a call of NeighborSampler.sample reaches PythonSampler::sample.

#include <pybind11/pybind11.h>

#include "binding/python_sampler.h"

namespace vornlib::binding {

namespace py = pybind11;

// Replaces the class's sample, as pybind11 defined it, by a vectorcall
// function with the same name and docstring. A call whose arguments are
// ones pybind11 takes without any conversion (a NeighborSampler, two dicts,
// a str, two ndarrays; by position or by keyword, each once) goes straight to
// PythonSampler::sample, and its exceptions are translated as pybind11
// translates them. Every other call is handed to pybind11's own function, so
// it converts or fails exactly as before. pybind11's keyword matching copied
// the keyword dictionary and made a string per parameter, twice: about 20 us
// of every call when the caches are cold, as they are in a training loop.
void install_sample_call(py::class_<PythonSampler>& sampler_class);

}  // namespace vornlib::binding
