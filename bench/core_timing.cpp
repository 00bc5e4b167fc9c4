// Bench-only module vornlib_bench: the core timed without Python, and the
// time of one independent random read from memory (the memory limit's unit).
//
// CoreTimer takes the arguments NeighborSampler(...) and sample(...) take and
// turns them into the core's store and requests with the binding's own code,
// so the only difference from sample() is what the binding does around the
// core call: request checks, the Python window reads and the result arrays.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/request_reader.h"
#include "binding/result_builder.h"
#include "binding/store_builder.h"
#include "sampler/neighbor_sampler.h"

namespace py = pybind11;
using namespace vornlib;
using namespace vornlib::binding;

namespace {

std::int64_t thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t wall_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Writes every value, so the next call starts with caches and TLB that other work filled.
void evict(py::array_t<std::int64_t>& buffer) {
    std::int64_t* values = buffer.mutable_data();
    for (py::ssize_t i = 0; i < buffer.size(); ++i) {
        values[i] += 1;
    }
    asm volatile("" : : "r"(values) : "memory");
}

// The window offsets read through the binding before the timing, so that no
// Python item access falls inside a timed core call.
class ReadWindows final : public WindowSource {
public:
    ReadWindows(PythonWindows& source, const SampleRequest& request) : values_(request.keys.size()) {
        for (KeyId key = 0; key < request.keys.size(); ++key) {
            if (request.keys[key].mode == HopParameter::Mode::window) {
                for (std::size_t hop = 0; hop < request.num_hops; ++hop) {
                    values_[key].push_back(source.window_at(key, hop));
                }
            }
        }
    }
    HopParameter window_at(KeyId key, std::size_t hop) override { return values_[key].at(hop); }

private:
    std::vector<std::vector<HopParameter>> values_;
};

// A core sampler built as NeighborSampler(...) builds it, timed one call at a
// time, so that a driver can alternate its calls with sample()'s: both then
// meet the same machine, whatever it does from one minute to the next.
class CoreTimer {
public:
    CoreTimer(std::vector<std::string> node_types, std::vector<EdgeTypeTuple> edge_types, const py::dict& colptr,
              const py::dict& row, const py::dict& node_time, int seed)
        : core_(build_store(std::move(node_types), std::move(edge_types), colptr, row, node_time, graph_arrays_),
                static_cast<std::uint32_t>(seed)),
          keys_(core_.store()) {}

    // One call with sample()'s arguments, after writing every value of
    // evicting: (wall ns, thread CPU ns, the result or None). The request is
    // checked and its windows read before the timing; the result, if kept,
    // is built after it.
    py::tuple time(const py::dict& num_neighbors, const py::dict& sampling_time_offsets,
                   const std::string& entity_table, const py::array& seed_node, const py::array& seed_time,
                   py::array_t<std::int64_t> evicting, bool keep) {
        std::vector<py::object> request_arrays;
        SampleRequest request = check_request(core_.store(), num_neighbors, sampling_time_offsets, entity_table,
                                              seed_node, seed_time, request_arrays);
        PythonWindows python_windows(core_.store().key_count());
        resolve_keys(core_.store(), keys_, num_neighbors, sampling_time_offsets, request, python_windows,
                     request_arrays);
        ReadWindows windows(python_windows, request);
        NeverInterrupt never;
        std::optional<SampleResult> result;
        std::int64_t wall = 0, cpu = 0;
        evict(evicting);
        const std::int64_t cpu_started = thread_cpu_ns();
        const std::int64_t wall_started = wall_ns();
        core_.sample(request, windows, never, [&](WorkingTables& tables) {
            wall = wall_ns() - wall_started;
            cpu = thread_cpu_ns() - cpu_started;
            if (keep) {
                result = make_result(core_.store(), keys_, tables, never);
            }
        });
        return py::make_tuple(wall, cpu, result ? py::cast(*result) : py::none());
    }

private:
    std::vector<py::object> graph_arrays_;  // before core_: outlives the spans into it
    NeighborSampler core_;
    KeyObjects keys_;
};

constexpr std::size_t kArrayBytes = std::size_t{1} << 30;
constexpr std::size_t kElements = kArrayBytes / sizeof(std::uint64_t);
constexpr std::size_t kPrefetchAhead = 16;

// Independent reads (no address depends on a loaded value), optionally each
// line asked for kPrefetchAhead reads early; the sum keeps every read.
std::uint64_t read_at(const std::uint64_t* values, const std::uint32_t* positions, std::size_t reads,
                      bool prefetch) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < reads; ++i) {
        if (prefetch) {
            __builtin_prefetch(values + positions[i + kPrefetchAhead]);
        }
        sum += values[positions[i]];
    }
    return sum;
}

// Thread CPU ns per random 8-byte read over 1 GiB on 4 KiB pages (huge pages
// refused, so reads also miss the TLB as reads of a mapped graph do). The
// positions are drawn before the timing: a generator in the loop keeps fewer
// reads in flight. A pass counts the faster of the plain and prefetching
// loops; the best pass is the limit's unit. With evict_bytes, the prefetching
// reads are also timed in blocks of cold_block (about one call's lines), that
// much other memory written before each block: the rate a call starting cold gets.
py::dict read_latency(std::size_t passes, std::size_t reads, std::size_t evict_bytes, std::size_t cold_block) {
    void* region = ::mmap(nullptr, kArrayBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        throw std::runtime_error("mmap of 1 GiB failed");
    }
    ::madvise(region, kArrayBytes, MADV_NOHUGEPAGE);
    auto* values = static_cast<std::uint64_t*>(region);
    for (std::size_t i = 0; i < kElements; ++i) {
        values[i] = i;  // every page written: no read meets a fault or the shared zero page
    }
    std::vector<std::uint64_t> evicting(evict_bytes / sizeof(std::uint64_t), 1);
    std::vector<double> warm, cold;
    std::uint64_t checksum = 0;
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    std::vector<std::uint32_t> positions(reads + kPrefetchAhead);
    for (std::size_t pass = 0; pass < passes; ++pass) {
        for (std::uint32_t& position : positions) {  // xorshift
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            position = static_cast<std::uint32_t>(state & (kElements - 1));
        }
        double best = 0.0;
        for (const bool prefetch : {false, true}) {
            const std::int64_t started = thread_cpu_ns();
            checksum += read_at(values, positions.data(), reads, prefetch);
            const double ns = static_cast<double>(thread_cpu_ns() - started) / static_cast<double>(reads);
            best = prefetch ? std::min(best, ns) : ns;
        }
        warm.push_back(best);
        if (evict_bytes > 0) {
            const std::size_t cold_reads = std::min(reads, std::size_t{1} << 20);
            std::int64_t reading = 0;
            for (std::size_t start = 0; start < cold_reads; start += cold_block) {
                for (std::uint64_t& value : evicting) {
                    value += start;
                }
                asm volatile("" : : "r"(evicting.data()) : "memory");
                const std::int64_t started = thread_cpu_ns();
                checksum += read_at(values, positions.data() + start, std::min(cold_block, cold_reads - start), true);
                reading += thread_cpu_ns() - started;
            }
            cold.push_back(static_cast<double>(reading) / static_cast<double>(cold_reads));
        }
    }
    ::munmap(region, kArrayBytes);
    py::dict out;
    out["ns_per_read"] = *std::min_element(warm.begin(), warm.end());
    out["passes_ns"] = warm;
    if (!cold.empty()) {
        out["cold_ns_per_read"] = *std::min_element(cold.begin(), cold.end());
        out["cold_passes_ns"] = cold;
    }
    out["checksum"] = checksum;
    return out;
}

}  // namespace

PYBIND11_MODULE(vornlib_bench, m) {
    py::class_<CoreTimer>(m, "CoreTimer")
        .def(py::init<std::vector<std::string>, std::vector<EdgeTypeTuple>, const py::dict&, const py::dict&,
                      const py::dict&, int>(),
             py::arg("node_types"), py::arg("edge_types"), py::arg("colptr"), py::arg("row"), py::arg("node_time"),
             py::arg("seed"))
        .def("time", &CoreTimer::time, py::arg("num_neighbors"), py::arg("sampling_time_offsets"),
             py::arg("entity_table"), py::arg("seed_node"), py::arg("seed_time"), py::arg("evicting"),
             py::arg("keep"));
    m.def("read_latency", &read_latency, py::arg("passes") = 3, py::arg("reads") = std::size_t{1} << 23,
          py::arg("evict_bytes") = 0, py::arg("cold_block") = 50000);
}
