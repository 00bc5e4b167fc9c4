#pragma once

// The workload description the C++ benchmark reads: graph arrays, seeds and
// per-edge-type hop parameters, in a line-oriented text file that
// run_bench.py writes (tokens separated by blanks, "-" for absent):
//
//   name last-k
//   rng_seed 123
//   warmup 32
//   evict_bytes 67108864                                  (written before every call, untimed; optional)
//   node_type customers /path/customers.time.npy           (one line per node type, in order)
//   entity customers
//   seeds /path/seeds.npy                                   (int64, shape (batches, batch_size))
//   times /path/times.npy                                   (same shape, or "-")
//   edge transactions rev_made customers /path/colptr.npy /path/row.npy count 16 8
//   edge transactions rev_in products /path/colptr.npy /path/row.npy window -2592000 0 - 0
//
// Edge lines give the edge type triple, its arrays and one count, or one
// (start, end) window, per hop. Nothing here checks array contents: the core
// checks every read it makes.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "npy_mmap.h"

namespace bench {

struct NodeTypeFile {
    std::string name;
    std::optional<NpyInt64> time;
};

struct WindowOffsets {
    bool has_start = false;
    std::int64_t start = 0;
    std::int64_t end = 0;
};

struct EdgeTypeFile {
    std::string source;
    std::string relation;
    std::string destination;
    NpyInt64 colptr;
    NpyInt64 row;
    bool window_mode = false;
    std::vector<std::int64_t> counts;     // count mode, one per hop
    std::vector<WindowOffsets> windows;   // window mode, one per hop
};

struct WorkloadFile {
    std::string name;
    std::uint32_t rng_seed = 0;
    std::size_t warmup = 0;
    std::size_t evict_bytes = 0;
    std::vector<NodeTypeFile> node_types;
    std::string entity;
    NpyInt64 seeds;
    std::optional<NpyInt64> times;
    std::vector<EdgeTypeFile> edge_types;

    std::size_t batches() const { return seeds.shape()[0]; }
    std::size_t batch_size() const { return seeds.shape()[1]; }
};

namespace detail {

[[noreturn]] inline void fail(const std::string& what) { throw std::runtime_error("workload: " + what); }

inline std::int64_t to_int64(const std::string& token) {
    std::size_t used = 0;
    const long long value = std::stoll(token, &used);
    if (used != token.size()) {
        fail("not an integer: " + token);
    }
    return static_cast<std::int64_t>(value);
}

inline std::string next_token(std::istringstream& line) {
    std::string token;
    if (!(line >> token)) {
        fail("line ends early");
    }
    return token;
}

inline EdgeTypeFile parse_edge(std::istringstream& line) {
    EdgeTypeFile edge;
    edge.source = next_token(line);
    edge.relation = next_token(line);
    edge.destination = next_token(line);
    edge.colptr = NpyInt64(next_token(line));
    edge.row = NpyInt64(next_token(line));
    const std::string mode = next_token(line);
    if (mode != "count" && mode != "window") {
        fail("unknown mode " + mode);
    }
    edge.window_mode = mode == "window";
    std::string token;
    while (line >> token) {
        if (!edge.window_mode) {
            edge.counts.push_back(to_int64(token));
            continue;
        }
        WindowOffsets window;
        window.has_start = token != "-";
        window.start = window.has_start ? to_int64(token) : 0;
        window.end = to_int64(next_token(line));
        edge.windows.push_back(window);
    }
    return edge;
}

inline void check_shapes(const WorkloadFile& workload) {
    if (workload.entity.empty() || workload.seeds.shape().size() != 2) {
        fail("an entity and seeds of shape (batches, batch_size) are required");
    }
    if (workload.times && workload.times->shape() != workload.seeds.shape()) {
        fail("times must have the shape of seeds");
    }
    if (workload.warmup > workload.batches()) {
        fail("more warm-up batches than batches");
    }
    for (const NodeTypeFile& type : workload.node_types) {
        if (type.time && type.time->shape().size() != 1) {
            fail("time array of " + type.name + " is not one-dimensional");
        }
    }
    for (const EdgeTypeFile& edge : workload.edge_types) {
        if (edge.colptr.shape().size() != 1 || edge.row.shape().size() != 1) {
            fail(edge.colptr.path() + ": colptr and row must be one-dimensional");
        }
    }
}

}  // namespace detail

inline WorkloadFile load_workload(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        detail::fail("cannot read " + path);
    }
    WorkloadFile workload;
    std::string text;
    while (std::getline(file, text)) {
        std::istringstream line(text);
        std::string tag;
        if (!(line >> tag) || tag[0] == '#') {
            continue;
        }
        if (tag == "name") {
            workload.name = detail::next_token(line);
        } else if (tag == "rng_seed") {
            workload.rng_seed = static_cast<std::uint32_t>(detail::to_int64(detail::next_token(line)));
        } else if (tag == "warmup") {
            workload.warmup = static_cast<std::size_t>(detail::to_int64(detail::next_token(line)));
        } else if (tag == "evict_bytes") {
            workload.evict_bytes = static_cast<std::size_t>(detail::to_int64(detail::next_token(line)));
        } else if (tag == "node_type") {
            NodeTypeFile type;
            type.name = detail::next_token(line);
            const std::string time_path = detail::next_token(line);
            if (time_path != "-") {
                type.time.emplace(time_path);
            }
            workload.node_types.push_back(std::move(type));
        } else if (tag == "entity") {
            workload.entity = detail::next_token(line);
        } else if (tag == "seeds") {
            workload.seeds = NpyInt64(detail::next_token(line));
        } else if (tag == "times") {
            const std::string times_path = detail::next_token(line);
            if (times_path != "-") {
                workload.times.emplace(times_path);
            }
        } else if (tag == "edge") {
            workload.edge_types.push_back(detail::parse_edge(line));
        } else {
            detail::fail("unknown line " + tag);
        }
    }
    detail::check_shapes(workload);
    return workload;
}

}  // namespace bench
