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
// by the store's own keys; every value a new int64 array that owns one
// table's values: a copy, or the block of a table that is handed over
// (Int64Table::handed_over), which a capsule owns and gives back to the
// StoragePool when the array is freed. Pending signals are handled once,
// before anything is handed over; one that comes later is raised when the
// call returns, and the arrays are then freed.
SampleResult make_result(const GraphStore& store, const KeyObjects& keys, WorkingTables& tables,
                         InterruptCheck& interrupts);

}  // namespace vornlib::binding
