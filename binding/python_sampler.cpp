#include "binding/python_sampler.h"

#include <optional>
#include <utility>

#include "binding/errors.h"
#include "binding/request_reader.h"

namespace vornlib::binding {

namespace {

// Marks a sampler busy for one call; an overlapping call (re-entered from
// Python code the first one runs) is refused instead of corrupting it.
class SamplingGuard {
public:
    explicit SamplingGuard(bool& flag) : flag_(flag) {
        if (flag_) {
            errors::already_sampling();
        }
        flag_ = true;
    }
    ~SamplingGuard() { flag_ = false; }
    SamplingGuard(const SamplingGuard&) = delete;
    SamplingGuard& operator=(const SamplingGuard&) = delete;

private:
    bool& flag_;
};

// Drops the caller's objects a call held, however the call ends.
class HeldObjects {
public:
    HeldObjects(std::vector<py::object>& arrays, PythonWindows& windows) : arrays_(arrays), windows_(windows) {}
    ~HeldObjects() {
        arrays_.clear();
        windows_.clear();
    }
    HeldObjects(const HeldObjects&) = delete;
    HeldObjects& operator=(const HeldObjects&) = delete;

private:
    std::vector<py::object>& arrays_;
    PythonWindows& windows_;
};

// Runs the interpreter's pending signal handlers when the core asks; an
// exception a handler raises (KeyboardInterrupt for Ctrl+C) stops the call.
// The interpreter lock is held throughout, as for the whole call.
class PythonSignals final : public InterruptCheck {
public:
    void check() override {
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }
};

}  // namespace

PythonSampler::PythonSampler(std::vector<std::string> node_types, std::vector<EdgeTypeTuple> edge_types,
                             const py::dict& colptr, const py::dict& row, const py::dict& node_time, int seed)
    : graph_arrays_(),
      core_(build_store(std::move(node_types), std::move(edge_types), colptr, row, node_time, graph_arrays_),
            static_cast<std::uint32_t>(seed)),
      keys_(core_.store()),
      windows_(core_.store().key_count()) {
    request_arrays_.reserve(2 + core_.store().key_count());  // the seeds, then one per key at most
}

SampleResult PythonSampler::sample(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                                   const std::string& entity_table, const py::array& seed_node,
                                   const py::array& seed_time) {
    SamplingGuard guard(sampling_);
    // After the guard: a refused overlapping call never reaches the first
    // call's objects, and Python code their release runs is still refused.
    const HeldObjects held(request_arrays_, windows_);
    const GraphStore& store = core_.store();
    SampleRequest request = check_request(store, num_neighbors, sampling_time_offsets, entity_table, seed_node,
                                          seed_time, request_arrays_);
    resolve_keys(store, keys_, num_neighbors, sampling_time_offsets, request, windows_, request_arrays_);

    PythonSignals signals;
    std::optional<SampleResult> result;
    core_.sample(request, windows_, signals,
                 [&](WorkingTables& tables) { result = make_result(store, keys_, tables, signals); });
    return std::move(*result);
}

}  // namespace vornlib::binding
