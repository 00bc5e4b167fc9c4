#pragma once

// The six result dictionaries, built from a call's finished working tables.

#include <pybind11/pybind11.h>

#include <tuple>

#include "binding/conversions.h"
#include "sampler/graph_store.h"
#include "sampler/interrupt_check.h"
#include "sampler/working_tables.h"

namespace vornlib::binding {

namespace py = pybind11;

using SampleResult = std::tuple<py::dict, py::dict, py::dict, py::dict, py::dict, py::dict>;

// (row, column, node, batch, node-count, edge-count), keyed in stored order
// by the store's own keys; every value a new int64 array holding a copy of
// one table. Pending signals are handled between the copies.
SampleResult make_result(const GraphStore& store, const KeyObjects& keys, const WorkingTables& tables,
                         InterruptCheck& interrupts);

}  // namespace vornlib::binding
