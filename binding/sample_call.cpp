#include "binding/sample_call.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <array>
#include <cstddef>
#include <string>
#include <utility>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

namespace vornlib::binding {

namespace {

// The arguments in their order, self first.
constexpr std::size_t kArguments = 6;
constexpr std::array<const char*, kArguments> kNames = {
    "self", "num_neighbors", "sampling_time_offsets", "entity_table", "seed_node", "seed_time"};

// Made once when the module is imported and kept for the process's life: the
// module cannot be unloaded, and a call may come while the interpreter exits.
PyObject* general_sample = nullptr;  // pybind11's function for sample
std::array<PyObject*, kArguments> interned_names{};
std::string sample_doc;
PyMethodDef sample_definition{};
const py::detail::type_info* sampler_type = nullptr;  // pybind11's record of NeighborSampler

// The PythonSampler behind self, or null when pybind11's caster would not
// take it without converting. An initialised instance of exactly
// NeighborSampler is read as the caster reads it; anything else (a subclass,
// an instance never initialised) goes through the caster itself, whose
// lookup of the class by its C++ type hashed the type's name on every call.
PythonSampler* sampler_of(PyObject* self) {
    if (Py_TYPE(self) == sampler_type->type) {
        const py::detail::value_and_holder held =
            reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder();
        if (held.holder_constructed() && held.value_ptr() != nullptr) {
            return static_cast<PythonSampler*>(held.value_ptr());
        }
    }
    py::detail::make_caster<PythonSampler> caster;
    return caster.load(self, false) ? static_cast<PythonSampler*>(caster.value) : nullptr;
}

// The position of a keyword among the arguments, or -1 for another name.
int position_of(PyObject* name) {
    for (std::size_t i = 1; i < kArguments; ++i) {  // self is taken by position only
        if (name == interned_names[i]) {
            return static_cast<int>(i);
        }
    }
    for (std::size_t i = 1; i < kArguments; ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, kNames[i]) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The arguments by position, or false when the call names one twice, names
// an unknown one, leaves one out or gives too many.
bool gather(PyObject* const* args, Py_ssize_t positional, PyObject* keywords,
            std::array<PyObject*, kArguments>& gathered) {
    if (positional > static_cast<Py_ssize_t>(kArguments)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        gathered[static_cast<std::size_t>(i)] = args[i];
    }
    const Py_ssize_t named = keywords == nullptr ? 0 : PyTuple_GET_SIZE(keywords);
    for (Py_ssize_t i = 0; i < named; ++i) {
        const int position = position_of(PyTuple_GET_ITEM(keywords, i));
        if (position < 0 || gathered[static_cast<std::size_t>(position)] != nullptr) {
            return false;
        }
        gathered[static_cast<std::size_t>(position)] = args[positional + i];
    }
    for (PyObject* argument : gathered) {
        if (argument == nullptr) {
            return false;
        }
    }
    return true;
}

PyObject* sample_call(PyObject* /*record*/, PyObject* const* args, std::size_t nargsf, PyObject* keywords) {
    std::array<PyObject*, kArguments> gathered{};
    if (!gather(args, PyVectorcall_NARGS(nargsf), keywords, gathered)) {
        return PyObject_Vectorcall(general_sample, args, nargsf, keywords);
    }
    // The checks of the casters pybind11 would pick, in their first pass,
    // which converts nothing.
    PythonSampler* const self = sampler_of(gathered[0]);
    const auto& numpy = py::detail::npy_api::get();
    if (self == nullptr || !PyDict_Check(gathered[1]) || !PyDict_Check(gathered[2]) ||
        !PyUnicode_Check(gathered[3]) || !numpy.PyArray_Check_(gathered[4]) || !numpy.PyArray_Check_(gathered[5])) {
        return PyObject_Vectorcall(general_sample, args, nargsf, keywords);
    }
    Py_ssize_t size = 0;
    const char* entity_table = PyUnicode_AsUTF8AndSize(gathered[3], &size);
    if (entity_table == nullptr) {  // a lone surrogate: pybind11 refuses the call
        PyErr_Clear();
        return PyObject_Vectorcall(general_sample, args, nargsf, keywords);
    }
    try {
        SampleResult result = self->sample(
            py::reinterpret_borrow<py::dict>(gathered[1]), py::reinterpret_borrow<py::dict>(gathered[2]),
            std::string(entity_table, static_cast<std::size_t>(size)),
            py::reinterpret_borrow<py::array>(gathered[4]), py::reinterpret_borrow<py::array>(gathered[5]));
        return py::cast(std::move(result)).release().ptr();
    } catch (py::error_already_set& error) {
        error.restore();
        return nullptr;
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

}  // namespace

void install_sample_call(py::class_<PythonSampler>& sampler_class) {
    const py::object defined = sampler_class.attr("__dict__")["sample"];
    if (!PyInstanceMethod_Check(defined.ptr())) {
        py::pybind11_fail("install_sample_call: sample is not an instance method");
    }
    general_sample = py::handle(PyInstanceMethod_GET_FUNCTION(defined.ptr())).inc_ref().ptr();
    sampler_type = py::detail::get_type_info(typeid(PythonSampler));
    if (sampler_type == nullptr) {
        py::pybind11_fail("install_sample_call: NeighborSampler is not registered");
    }
    if (!PyCFunction_Check(general_sample)) {
        py::pybind11_fail("install_sample_call: sample is not a built-in function");
    }
    for (std::size_t i = 0; i < kArguments; ++i) {
        interned_names[i] = PyUnicode_InternFromString(kNames[i]);
        if (interned_names[i] == nullptr) {
            throw py::error_already_set();
        }
    }
    sample_doc = py::str(defined.attr("__doc__"));
    sample_definition = PyMethodDef{"sample", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_call)),
                                    METH_FASTCALL | METH_KEYWORDS, sample_doc.c_str()};
    // Bound, as pybind11's own function is, to its function record and to the
    // module's name: introspection (__module__, __qualname__, repr, help())
    // then shows it as it shows every other method.
    const auto module_name = py::reinterpret_borrow<py::object>(general_sample).attr("__module__");
    const auto function = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&sample_definition, PyCFunction_GET_SELF(general_sample), module_name.ptr()));
    if (!function) {
        throw py::error_already_set();
    }
    const auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) {
        throw py::error_already_set();
    }
    py::setattr(sampler_class, "sample", method);
}

}  // namespace vornlib::binding
