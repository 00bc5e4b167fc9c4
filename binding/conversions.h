#pragma once

// Every conversion between Python objects and the sampler's native forms, and
// every argument check with its fixed message. Nothing else in the module
// builds a message a caller sees.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sampler/int64_span.h"

namespace vornlib::binding {

namespace py = pybind11;

// A dictionary key as text: its str(), UTF-8 encoded.
std::string key_text(py::handle key);

// A native key as a Python str (strict UTF-8 decoding).
py::str key_object(const std::string& key);

// An ndarray (or subclass) unchanged; anything else converted by numpy.
py::array as_array(py::handle value);

// Number of dimensions, then (for a non-empty array with dtype_flag) int64.
void check_array(const py::array& array, const std::string& name, int ndim, bool dtype_flag);

// For each entry in iteration order: key among allowed_keys, then check_array.
void check_typed_dict(const py::dict& dict, const std::string& label,
                      const std::vector<std::string>& allowed_keys, int ndim, bool dtype_flag);

// Int64 elements readable as one dense native-order run, and the array that
// owns them. A strided, reversed or byte-swapped array is copied once into a
// contiguous native int64 array, which `owner` then holds.
struct Int64Array {
    py::object owner;
    Int64Span span;
};
Int64Array int64_view(const py::array& array);

// An int64 from a Python object, as pybind11's int64 caster converts it.
std::int64_t int64_from(py::handle value);

// A new 1-D int64 array owning a copy of the elements.
py::array to_int64_array(const std::int64_t* data, std::size_t count);
py::array to_int64_array(const std::vector<std::int64_t>& values);

// ---- request checks of sample, with their fixed messages ----
[[noreturn]] void throw_invalid_entity_table(const std::string& entity_table);
[[noreturn]] void throw_seed_size_mismatch();
[[noreturn]] void throw_mode_conflict(const std::string& key);
[[noreturn]] void throw_window_without_time(const std::string& key, const std::string& source_type);
[[noreturn]] void throw_window_not_pairs(const std::string& key);
[[noreturn]] void throw_already_sampling();

}  // namespace vornlib::binding
