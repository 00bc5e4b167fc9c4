// The benchmark's workloads run on the core library itself, without Python:
// the same graph files, seeds, seed times and sampler seed as run_bench.py,
// one vornlib::NeighborSampler::sample call per batch. Set beside the times of
// the Python call, the difference is what the binding costs (argument
// conversion, request checks, result arrays).
//
//   vornlib_core_bench --build-info     build type as JSON (the benchmark refuses debug builds)
//   vornlib_core_bench WORKLOAD_FILE    run the workload (workload_file.h), print timings as JSON
//
// Batches [0, warmup) are untimed; every later batch is timed one call each,
// in wall time and in the thread's CPU time. Before every call, untimed, it
// writes evict_bytes of its own memory, as run_bench.py does before every
// sample(): both start each call with the caches and TLB of other work. Every batch, timed or not, adds
// the node ids its call reached to a digest (mirrored in bench/digests.py),
// which must equal the one run_bench.py computes from sample().

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "sampler/neighbor_sampler.h"
#include "workload_file.h"

#ifndef VORNLIB_BENCH_BUILD_TYPE
#define VORNLIB_BENCH_BUILD_TYPE "unknown"
#endif

namespace {

using bench::WorkloadFile;

// ---- build description ------------------------------------------------------

void print_build_info() {
#ifdef __OPTIMIZE__
    const bool optimized = true;
#else
    const bool optimized = false;
#endif
#ifdef NDEBUG
    const bool assertions = false;
#else
    const bool assertions = true;
#endif
#if defined(VORNLIB_SANITIZED) || defined(__SANITIZE_ADDRESS__)
    const bool sanitized = true;
#else
    const bool sanitized = false;
#endif
    std::printf("{\"build_type\": \"%s\", \"optimized\": %s, \"assertions\": %s, \"sanitized\": %s}\n",
                VORNLIB_BENCH_BUILD_TYPE, optimized ? "true" : "false", assertions ? "true" : "false",
                sanitized ? "true" : "false");
}

// ---- the core, built from the workload's arrays --------------------------------

vornlib::Int64Span span_of(const bench::NpyInt64& array) {
    return {array.data(), static_cast<std::int64_t>(array.size())};
}

// In the order the binding builds its store: adjacency by edge type entry,
// then timestamps by node type entry.
vornlib::GraphStore build_store(const WorkloadFile& workload) {
    std::vector<std::string> node_types;
    for (const bench::NodeTypeFile& type : workload.node_types) {
        node_types.push_back(type.name);
    }
    std::vector<vornlib::EdgeType> edge_types;
    for (const bench::EdgeTypeFile& edge : workload.edge_types) {
        edge_types.push_back({edge.source, edge.relation, edge.destination});
    }
    vornlib::GraphStore store(std::move(node_types), std::move(edge_types));
    bool has_time = false;
    for (std::size_t entry = 0; entry < workload.edge_types.size(); ++entry) {
        const bench::EdgeTypeFile& edge = workload.edge_types[entry];
        store.set_adjacency(store.key_of_entry(entry), span_of(edge.colptr), span_of(edge.row));
    }
    for (std::size_t entry = 0; entry < workload.node_types.size(); ++entry) {
        if (workload.node_types[entry].time) {
            store.set_node_time(store.type_of_entry(entry), span_of(*workload.node_types[entry].time));
            has_time = true;
        }
    }
    store.set_has_node_time(has_time);
    return store;
}

class FileWindows final : public vornlib::WindowSource {
public:
    explicit FileWindows(std::size_t key_count) : windows_(key_count) {}

    void set(vornlib::KeyId key, const std::vector<bench::WindowOffsets>& windows) { windows_[key] = &windows; }

    vornlib::HopParameter window_at(vornlib::KeyId key, std::size_t hop) override {
        const bench::WindowOffsets& window = windows_[key]->at(hop);
        return vornlib::HopParameter::window(window.has_start, window.start, window.end);
    }

private:
    std::vector<const std::vector<bench::WindowOffsets>*> windows_;
};

// The request of every batch; seed_node and seed_time are pointed at a batch before each call.
vornlib::SampleRequest build_request(const vornlib::GraphStore& store, const WorkloadFile& workload,
                                     FileWindows& windows) {
    vornlib::SampleRequest request;
    const auto entity = store.find_type(workload.entity);
    if (!entity) {
        throw std::runtime_error("workload: entity " + workload.entity + " is not a node type");
    }
    request.entity_type = *entity;
    request.keys.assign(store.key_count(), vornlib::KeyRequest{});
    for (std::size_t entry = 0; entry < workload.edge_types.size(); ++entry) {
        const bench::EdgeTypeFile& edge = workload.edge_types[entry];
        const vornlib::KeyId key = store.key_of_entry(entry);
        std::size_t hops = edge.counts.size();
        if (edge.window_mode) {
            request.keys[key] = vornlib::KeyRequest{vornlib::HopParameter::Mode::window, vornlib::Int64Span{}};
            windows.set(key, edge.windows);
            hops = edge.windows.size();
        } else {
            request.keys[key] = vornlib::KeyRequest{
                vornlib::HopParameter::Mode::count,
                {edge.counts.data(), static_cast<std::int64_t>(edge.counts.size())}};
        }
        request.num_hops = std::max(request.num_hops, hops);
    }
    return request;
}

// The one call into the core's entry point: runs one call and hands its
// finished tables to `read`; the core empties them for the next call.
template <typename Read>
void sample_call(vornlib::NeighborSampler& sampler, const vornlib::SampleRequest& request,
                 vornlib::WindowSource& windows, Read&& read) {
    vornlib::NeverInterrupt never;
    sampler.sample(request, windows, never, std::forward<Read>(read));
}

// ---- digest of reached node ids (mirrored in bench/digests.py) -------------

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Node ids of every sampled edge's source end, hop by hop, edge type by edge
// type, folded into the running digest; returns the number of edges.
std::uint64_t digest_call(const vornlib::GraphStore& store, const vornlib::WorkingTables& tables,
                          std::size_t hops, std::uint64_t& digest) {
    std::vector<std::size_t> consumed(store.key_count(), 0);
    std::uint64_t sum = 0;
    std::uint64_t count = 0;
    for (std::size_t hop = 0; hop < hops; ++hop) {
        for (std::size_t entry = 0; entry < store.edge_types().size(); ++entry) {
            const vornlib::KeyId key = store.key_of_entry(entry);
            const vornlib::EdgeTables& edges = tables.edges()[key];
            const auto taken = static_cast<std::size_t>(edges.num_sampled[hop + 1]);  // after the leading 0
            const vornlib::NodeTables& sources = tables.nodes()[store.source_of_entry(entry)];
            for (std::size_t i = consumed[key]; i < consumed[key] + taken; ++i) {
                const std::int64_t node = sources.ids[static_cast<std::size_t>(edges.rows[i])];
                sum += splitmix64(static_cast<std::uint64_t>(node) ^ (count << 32));
                ++count;
            }
            consumed[key] += taken;
        }
    }
    digest = splitmix64(splitmix64(digest ^ sum) ^ count);
    return count;
}

// ---- measurement --------------------------------------------------------------

// CPU time of this thread: unlike wall time it stops while other processes
// hold the core, which keeps medians usable on a shared machine.
std::int64_t thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

double median(std::vector<std::int64_t> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    if (values.size() % 2 == 1) {
        return static_cast<double>(values[middle]);
    }
    return (static_cast<double>(values[middle - 1]) + static_cast<double>(values[middle])) / 2.0;
}

int run(const std::string& workload_path) {
    const WorkloadFile workload = bench::load_workload(workload_path);
    vornlib::NeighborSampler sampler(build_store(workload), workload.rng_seed);
    const vornlib::GraphStore& store = sampler.store();
    FileWindows windows(store.key_count());
    vornlib::SampleRequest request = build_request(store, workload, windows);

    const auto batch_size = static_cast<std::int64_t>(workload.batch_size());
    std::vector<std::int64_t> nanoseconds;
    std::vector<std::int64_t> cpu_nanoseconds;
    std::uint64_t digest = 0;
    std::uint64_t edges = 0;
    std::vector<std::uint64_t> evicting(workload.evict_bytes / sizeof(std::uint64_t));
    for (std::size_t batch = 0; batch < workload.batches(); ++batch) {
        for (std::uint64_t& value : evicting) {
            value += batch;
        }
        asm volatile("" : : "r"(evicting.data()) : "memory");  // the writes are the point: keep them
        const auto offset = static_cast<std::ptrdiff_t>(batch) * batch_size;
        request.seed_node = {workload.seeds.data() + offset, batch_size};
        request.seed_time = workload.times ? vornlib::Int64Span{workload.times->data() + offset, batch_size}
                                           : vornlib::Int64Span{};
        const std::int64_t cpu_started = thread_cpu_ns();
        const auto started = std::chrono::steady_clock::now();
        sample_call(sampler, request, windows, [&](const vornlib::WorkingTables& tables) {
            const auto stopped = std::chrono::steady_clock::now();
            const std::int64_t cpu_stopped = thread_cpu_ns();
            const std::uint64_t reached = digest_call(store, tables, request.num_hops, digest);
            if (batch >= workload.warmup) {
                nanoseconds.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(stopped - started).count());
                cpu_nanoseconds.push_back(cpu_stopped - cpu_started);
                edges += reached;
            }
        });
    }

    std::int64_t total_ns = 0;
    for (std::int64_t ns : nanoseconds) {
        total_ns += ns;
    }
    const double seconds = static_cast<double>(total_ns) * 1e-9;
    std::printf(
        "{\"workload\": \"%s\", \"warmup_batches\": %zu, \"measured_batches\": %zu, \"median_ns\": %.1f, "
        "\"cpu_median_ns\": %.1f, \"min_ns\": %" PRId64 ", \"total_ns\": %" PRId64 ", \"edges\": %" PRIu64
        ", \"edges_per_second\": %.1f, \"digest\": \"%016" PRIx64 "\"}\n",
        workload.name.c_str(), workload.warmup, nanoseconds.size(), median(nanoseconds), median(cpu_nanoseconds),
        nanoseconds.empty() ? 0 : *std::min_element(nanoseconds.begin(), nanoseconds.end()), total_ns, edges,
        seconds > 0 ? static_cast<double>(edges) / seconds : 0.0, digest);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string argument = argc == 2 ? argv[1] : "";
    if (argument.empty()) {
        std::fprintf(stderr, "usage: vornlib_core_bench --build-info | vornlib_core_bench WORKLOAD_FILE\n");
        return 2;
    }
    if (argument == "--build-info") {
        print_build_info();
        return 0;
    }
    try {
        return run(argument);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vornlib_core_bench: %s\n", error.what());
        return 1;
    }
}
