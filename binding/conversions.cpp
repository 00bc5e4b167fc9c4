#include "binding/conversions.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "binding/errors.h"

namespace vornlib::binding {

namespace {

// The UTF-8 of a str, which the str keeps (and must outlive the view). The
// interpreter's own encoder, so that a lone surrogate raises its
// UnicodeEncodeError rather than a failed cast.
std::string_view utf8_of(const py::str& text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        throw py::error_already_set();
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

// numpy's int64 dtype, made once; arrays made with that dtype share it.
PyObject* int64_descr() {
    static PyObject* const descr = py::dtype::of<std::int64_t>().release().ptr();  // kept for the process's life
    return descr;
}

}  // namespace

std::string key_text(py::handle key) {
    const py::str text(key);  // str(key); what it raises propagates
    return std::string(utf8_of(text));
}

py::str key_object(const std::string& key) { return py::str(key.data(), key.size()); }

KeyObjects::KeyObjects(const GraphStore& store) {
    for (TypeId type = 0; type < store.type_count(); ++type) {
        type_names.push_back(key_object(store.type_name(type)));
    }
    for (KeyId key = 0; key < store.key_count(); ++key) {
        key_names.push_back(key_object(store.key_name(key)));
    }
    for (const std::string& key : store.edge_type_keys()) {
        entry_keys.push_back(key_object(key));
    }
}

py::array as_array(py::handle value) {
    // py::array keeps an ndarray (subclasses included) and asks numpy to
    // convert anything else, with the dtype numpy infers.
    return py::array(py::reinterpret_borrow<py::object>(value));
}

ArrayFault array_fault(const py::array& array, int ndim, bool dtype_flag) {
    if (array.ndim() != ndim) {
        return ArrayFault::dimensions;
    }
    if (array.size() == 0 || !dtype_flag) {
        return ArrayFault::none;
    }
    const py::dtype dtype = array.dtype();
    if (dtype.kind() != 'i' || dtype.itemsize() != 8) {
        return ArrayFault::dtype;
    }
    return ArrayFault::none;
}

void raise_array_fault(ArrayFault fault, const std::string& name, int ndim) {
    if (fault == ArrayFault::dimensions) {
        errors::wrong_dimensions(name, ndim);
    }
    errors::not_int64(name);
}

void check_array(const py::array& array, const char* name, int ndim, bool dtype_flag) {
    const ArrayFault fault = array_fault(array, ndim, dtype_flag);
    if (fault != ArrayFault::none) {
        raise_array_fault(fault, name, ndim);
    }
}

void check_typed_dict(const py::dict& dict, const char* label,
                      const std::vector<std::string>& allowed_keys, int ndim, bool dtype_flag) {
    for (const auto& [borrowed_key, borrowed_value] : dict) {
        // The iterator lends its entry; str() of the key runs Python code that
        // may remove that entry from the dict, so own both before calling it.
        const auto key = py::reinterpret_borrow<py::object>(borrowed_key);
        const auto value = py::reinterpret_borrow<py::object>(borrowed_value);
        const py::str text(key);  // str(key); what it raises propagates
        const std::string_view utf8 = utf8_of(text);  // compared in place: a string is made only for a message
        if (std::find(allowed_keys.begin(), allowed_keys.end(), utf8) == allowed_keys.end()) {
            errors::invalid_type(std::string(utf8), label);
        }
        const ArrayFault fault = array_fault(as_array(value), ndim, dtype_flag);
        if (fault != ArrayFault::none) {
            raise_array_fault(fault, "Type '" + std::string(utf8) + "' in " + label, ndim);
        }
    }
}

Int64Array int64_view(const py::array& array) {
    if (array.size() == 0) {
        return {array, Int64Span{}};
    }
    // What a caller usually passes, an ndarray of numpy's own int64 dtype in
    // one aligned C-order run, is read in place: numpy's conversion below
    // would return that very array, after a costly general path.
    const auto* proxy = py::detail::array_proxy(array.ptr());
    constexpr int in_place = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
    if (Py_TYPE(array.ptr()) == py::detail::npy_api::get().PyArray_Type_ && proxy->descr == int64_descr() &&
        (proxy->flags & in_place) == in_place) {
        return {array, Int64Span{static_cast<const std::int64_t*>(array.data()),
                                 static_cast<std::int64_t>(array.size())}};
    }
    // Returns the array itself when it is already a dense native int64 run;
    // otherwise numpy makes one contiguous native copy.
    using DenseInt64 = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    DenseInt64 dense(array);
    return {dense, Int64Span{dense.data(), static_cast<std::int64_t>(dense.size())}};
}

Int64Span keep_int64_view(py::handle value, std::vector<py::object>& keep_alive) {
    Int64Array view = int64_view(as_array(value));
    keep_alive.push_back(std::move(view.owner));
    return view.span;
}

std::int64_t int64_from(py::handle value) { return py::cast<std::int64_t>(value); }

py::array new_int64_array(std::size_t count, std::int64_t* data, py::object owner) {
    // numpy's own constructor, without the shape and stride containers
    // pybind11's would allocate for every array.
    const auto& numpy = py::detail::npy_api::get();
    Py_intptr_t dimensions[1] = {static_cast<Py_intptr_t>(count)};
    const int flags = data != nullptr ? py::detail::npy_api::NPY_ARRAY_WRITEABLE_ : 0;
    auto array = py::reinterpret_steal<py::array>(numpy.PyArray_NewFromDescr_(
        numpy.PyArray_Type_, py::handle(int64_descr()).inc_ref().ptr(), 1, dimensions, nullptr, data, flags,
        nullptr));
    if (!array) {
        throw py::error_already_set();
    }
    if (data != nullptr && numpy.PyArray_SetBaseObject_(array.ptr(), owner.release().ptr()) != 0) {
        throw py::error_already_set();
    }
    return array;
}

py::array to_int64_array(const std::int64_t* data, std::size_t count) {
    py::array result = new_int64_array(count, nullptr, py::object());
    if (count > 0) {
        std::memcpy(result.mutable_data(), data, count * sizeof(std::int64_t));
    }
    return result;
}

}  // namespace vornlib::binding
