#pragma once

// The workload description the speed-of-light tool reads: graph arrays, seeds
// and per-edge-type hop parameters, in a line-oriented text file that the
// Python benchmark writes (tokens separated by blanks, "-" for absent):
//
//   name last-k
//   rng_seed 123
//   warmup 16
//   node_type customers 12500 /path/customers.time.npy      (one line per node type, in order)
//   entity customers
//   seeds /path/seeds.npy                                   (int64, shape (batches, batch_size))
//   times /path/times.npy                                   (same shape, or "-")
//   edge transactions customers /path/colptr.npy /path/row.npy count 16 8
//   edge transactions products /path/colptr.npy /path/row.npy window -2592000 0 - 0
//
// Edge lines name source and destination type and list one count, or one
// (start, end) window, per hop. Loading validates every array once, so the
// traversal can read without per-element checks.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "npy_mmap.h"

namespace sol {

struct NodeType {
    std::string name;
    std::int64_t count = 0;
    std::optional<NpyInt64> time;
};

struct Window {
    bool has_start = false;
    std::int64_t start = 0;
    std::int64_t end = 0;
};

struct EdgeType {
    std::size_t source = 0;
    std::size_t destination = 0;
    NpyInt64 colptr;
    NpyInt64 row;
    bool window_mode = false;
    std::vector<std::int64_t> counts;  // count mode, one per hop
    std::vector<Window> windows;       // window mode, one per hop
};

struct Workload {
    std::string name;
    std::uint32_t rng_seed = 0;
    std::size_t warmup = 0;
    std::vector<NodeType> node_types;
    std::size_t entity = 0;
    NpyInt64 seeds;
    std::optional<NpyInt64> times;
    std::vector<EdgeType> edge_types;

    std::size_t batches() const { return seeds.shape()[0]; }
    std::size_t batch_size() const { return seeds.shape()[1]; }
    std::size_t hops() const {
        std::size_t hops = 0;
        for (const EdgeType& edge : edge_types) {
            hops = std::max(hops, edge.window_mode ? edge.windows.size() : edge.counts.size());
        }
        return hops;
    }
};

namespace detail {

// Timestamps and window offsets stay far from the int64 limits, so that
// seed time + offset never overflows in the traversal.
constexpr std::int64_t kTimeLimit = std::int64_t{1} << 61;

[[noreturn]] inline void fail(const std::string& what) { throw std::runtime_error("workload: " + what); }

inline std::int64_t to_int64(const std::string& token) {
    std::size_t used = 0;
    const long long value = std::stoll(token, &used);
    if (used != token.size()) {
        fail("not an integer: " + token);
    }
    return static_cast<std::int64_t>(value);
}

inline std::size_t type_index(const Workload& workload, const std::string& name) {
    for (std::size_t i = 0; i < workload.node_types.size(); ++i) {
        if (workload.node_types[i].name == name) {
            return i;
        }
    }
    fail("unknown node type " + name);
}

inline std::string next_token(std::istringstream& line) {
    std::string token;
    if (!(line >> token)) {
        fail("line ends early");
    }
    return token;
}

inline EdgeType parse_edge(const Workload& workload, std::istringstream& line) {
    EdgeType edge;
    edge.source = type_index(workload, next_token(line));
    edge.destination = type_index(workload, next_token(line));
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
        Window window;
        window.has_start = token != "-";
        window.start = window.has_start ? to_int64(token) : 0;
        window.end = to_int64(next_token(line));
        edge.windows.push_back(window);
    }
    return edge;
}

// ---- validation: everything the traversal reads is in range ----------------

inline void check_times(const NpyInt64& times, const std::string& what) {
    for (std::size_t i = 0; i < times.size(); ++i) {
        if (times[i] <= -kTimeLimit || times[i] >= kTimeLimit) {
            fail(what + " holds a timestamp too far from 0");
        }
    }
}

inline void check_edge(const Workload& workload, const EdgeType& edge) {
    const NodeType& source = workload.node_types[edge.source];
    const NodeType& destination = workload.node_types[edge.destination];
    const std::string& name = edge.colptr.path();
    if (edge.colptr.shape().size() != 1 || edge.row.shape().size() != 1 ||
        edge.colptr.size() != static_cast<std::size_t>(destination.count) + 1) {
        fail(name + ": colptr/row shapes do not fit the node counts");
    }
    const auto row_size = static_cast<std::int64_t>(edge.row.size());
    for (std::size_t v = 0; v + 1 < edge.colptr.size(); ++v) {
        if (edge.colptr[v] < 0 || edge.colptr[v] > edge.colptr[v + 1] || edge.colptr[v + 1] > row_size) {
            fail(name + ": colptr is not a non-decreasing run within row");
        }
    }
    for (std::size_t p = 0; p < edge.row.size(); ++p) {
        if (edge.row[p] < 0 || edge.row[p] >= source.count) {
            fail(edge.row.path() + ": row value outside the source node range");
        }
    }
    for (const Window& window : edge.windows) {
        if (window.start <= -kTimeLimit || window.start >= kTimeLimit || window.end <= -kTimeLimit ||
            window.end >= kTimeLimit) {
            fail(name + ": window offset too large");
        }
    }
}

inline void check_seeds(const Workload& workload) {
    const std::vector<std::size_t>& shape = workload.seeds.shape();
    if (shape.size() != 2) {
        fail("seeds must have shape (batches, batch_size)");
    }
    if (workload.times && workload.times->shape() != shape) {
        fail("times must have the shape of seeds");
    }
    if (workload.warmup > workload.batches()) {
        fail("more warm-up batches than batches");
    }
    const std::int64_t count = workload.node_types[workload.entity].count;
    for (std::size_t i = 0; i < workload.seeds.size(); ++i) {
        if (workload.seeds[i] < 0 || workload.seeds[i] >= count) {
            fail("seed outside the entity node range");
        }
    }
    if (workload.times) {
        check_times(*workload.times, "times");
    }
}

inline void validate(const Workload& workload) {
    for (const NodeType& type : workload.node_types) {
        if (type.time && (type.time->shape().size() != 1 || type.time->size() != static_cast<std::size_t>(type.count))) {
            fail("time array of " + type.name + " does not have one entry per node");
        }
        if (type.time) {
            check_times(*type.time, type.name + " time");
        }
    }
    for (const EdgeType& edge : workload.edge_types) {
        check_edge(workload, edge);
    }
    check_seeds(workload);
}

}  // namespace detail

inline Workload load_workload(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        detail::fail("cannot read " + path);
    }
    Workload workload;
    bool has_entity = false;
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
        } else if (tag == "node_type") {
            NodeType type;
            type.name = detail::next_token(line);
            type.count = detail::to_int64(detail::next_token(line));
            const std::string time_path = detail::next_token(line);
            if (time_path != "-") {
                type.time.emplace(time_path);
            }
            workload.node_types.push_back(std::move(type));
        } else if (tag == "entity") {
            workload.entity = detail::type_index(workload, detail::next_token(line));
            has_entity = true;
        } else if (tag == "seeds") {
            workload.seeds = NpyInt64(detail::next_token(line));
        } else if (tag == "times") {
            const std::string times_path = detail::next_token(line);
            if (times_path != "-") {
                workload.times.emplace(times_path);
            }
        } else if (tag == "edge") {
            workload.edge_types.push_back(detail::parse_edge(workload, line));
        } else {
            detail::fail("unknown line " + tag);
        }
    }
    if (!has_entity || workload.seeds.shape().empty()) {
        detail::fail("entity and seeds are required");
    }
    detail::validate(workload);
    return workload;
}

}  // namespace sol
