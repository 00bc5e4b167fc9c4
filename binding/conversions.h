#pragma once

// Every conversion between Python objects and the sampler's native forms:
// keys, arrays, int64 views, scalars and result arrays, and the array and
// typed-dictionary checks. Their messages are built in binding/errors.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sampler/graph_store.h"
#include "sampler/int64_span.h"

namespace vornlib::binding {

namespace py = pybind11;

// A dictionary key as text: its str(), UTF-8 encoded.
std::string key_text(py::handle key);

// A native key as a Python str (strict UTF-8 decoding).
py::str key_object(const std::string& key);

// The store's names as Python strings, made once per sampler: a call looks
// its keys up and builds its result dictionaries with these.
struct KeyObjects {
    explicit KeyObjects(const GraphStore& store);
    std::vector<py::str> type_names;  // per node type id
    std::vector<py::str> key_names;   // per edge key id
    std::vector<py::str> entry_keys;  // per edge_types entry
};

// An ndarray (or subclass) unchanged; anything else converted by numpy.
py::array as_array(py::handle value);

// Number of dimensions, then (for a non-empty array with dtype_flag) int64.
void check_array(const py::array& array, const char* name, int ndim, bool dtype_flag);
// The same check, split so that a caller builds the array's name only for the message.
enum class ArrayFault { none, dimensions, dtype };
ArrayFault array_fault(const py::array& array, int ndim, bool dtype_flag);
[[noreturn]] void raise_array_fault(ArrayFault fault, const std::string& name, int ndim);

// For each entry in iteration order: key among allowed_keys, then check_array.
void check_typed_dict(const py::dict& dict, const char* label,
                      const std::vector<std::string>& allowed_keys, int ndim, bool dtype_flag);

// Int64 elements readable as one dense native-order run, and the array that
// owns them. A strided, reversed or byte-swapped array is copied once into a
// contiguous native int64 array, which `owner` then holds.
struct Int64Array {
    py::object owner;
    Int64Span span;
};
Int64Array int64_view(const py::array& array);

// The int64 view of any value as_array accepts; the array that owns the
// elements is appended to keep_alive, which must outlive every use of the span.
Int64Span keep_int64_view(py::handle value, std::vector<py::object>& keep_alive);

// An int64 from a Python object, as pybind11's int64 caster converts it.
std::int64_t int64_from(py::handle value);

// A new 1-D int64 array of count elements: over data, which owner owns from
// now on (writable; owner becomes the array's base); or, with data null,
// over memory numpy allocates (owner unused).
py::array new_int64_array(std::size_t count, std::int64_t* data, py::object owner);

// A new 1-D int64 array owning a copy of the elements.
py::array to_int64_array(const std::int64_t* data, std::size_t count);

}  // namespace vornlib::binding
