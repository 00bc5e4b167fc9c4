// Speed-of-light traversal: the least work any sampler must do for a workload,
// as a yardstick for NeighborSampler.sample().
//
// For every frontier node it reads colptr[v] and colptr[v + 1], bisects by
// time where the edge type samples with time, reads the chosen row entries and
// appends them to the next frontier of the source type. Nothing else: no
// de-duplication, no edge lists, no per-call allocation once the frontier
// vectors have grown, no Python objects.
//
// Uniform choice (count mode without time, k < n) runs Robert Floyd's algorithm
// on std::mt19937 seeded like the sampler, with the same draws in the same
// order, so it picks exactly the sampler's neighbours; membership of the k
// chosen offsets is a linear scan (k is small), which needs no O(n) table.
//
//   vornlib_sol --build-info     build type as JSON (the benchmark refuses debug builds)
//   vornlib_sol WORKLOAD_FILE    run the workload, print timings as JSON
//
// Each timed batch reports wall time and the thread's CPU time.
// Batches [0, warmup) warm caches and form the first part of the digest;
// batches [warmup, batches) are timed one traversal each, then replayed
// untimed from the same generator state to finish the digest. The digest
// covers every node id reached, in reaching order, and equals the one the
// benchmark computes from sample() whenever no hop expands a node that
// de-duplication would have merged.

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "sol_workload.h"

#ifndef VORNLIB_SOL_BUILD_TYPE
#define VORNLIB_SOL_BUILD_TYPE "unknown"
#endif

namespace {

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
                VORNLIB_SOL_BUILD_TYPE, optimized ? "true" : "false", assertions ? "true" : "false",
                sanitized ? "true" : "false");
}

// ---- digest of reached node ids (mirrored in bench/digests.py) -------------

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

class BatchDigest {
public:
    void add(std::int64_t node) {
        sum_ += splitmix64(static_cast<std::uint64_t>(node) ^ (count_ << 32));
        ++count_;
    }
    std::uint64_t fold_into(std::uint64_t total) const { return splitmix64(splitmix64(total ^ sum_) ^ count_); }

private:
    std::uint64_t sum_ = 0;
    std::uint64_t count_ = 0;
};

struct NoDigest {
    void add(std::int64_t) {}
};

// ---- the traversal ----------------------------------------------------------

struct FrontierEntry {
    std::int64_t node;
    std::int64_t batch;  // position of the seed it descends from
};

class Traversal {
public:
    explicit Traversal(const sol::Workload& workload)
        : workload_(workload),
          current_(workload.node_types.size()),
          next_(workload.node_types.size()),
          generator_(workload.rng_seed) {}

    std::mt19937& generator() { return generator_; }

    // Runs every hop for one batch of seeds; returns the number of row entries appended.
    template <class Sink>
    std::size_t run_batch(std::size_t batch, Sink& sink) {
        plant_seeds(batch);
        std::size_t appended = 0;
        const std::size_t hops = workload_.hops();
        for (std::size_t hop = 0; hop < hops; ++hop) {
            for (std::vector<FrontierEntry>& reached : next_) {
                reached.clear();
            }
            for (const sol::EdgeType& edge : workload_.edge_types) {
                expand(edge, hop, sink);
            }
            for (std::size_t type = 0; type < next_.size(); ++type) {
                appended += next_[type].size();
                current_[type].swap(next_[type]);
            }
        }
        return appended;
    }

private:
    void plant_seeds(std::size_t batch) {
        for (std::vector<FrontierEntry>& frontier : current_) {
            frontier.clear();
        }
        const std::size_t size = workload_.batch_size();
        const std::size_t first = batch * size;
        std::vector<FrontierEntry>& seeds = current_[workload_.entity];
        seed_times_.clear();
        for (std::size_t i = 0; i < size; ++i) {
            seeds.push_back({workload_.seeds[first + i], static_cast<std::int64_t>(i)});
            if (workload_.times) {
                seed_times_.push_back((*workload_.times)[first + i]);
            }
        }
    }

    const sol::NpyInt64* time_of_source(const sol::EdgeType& edge) const {
        const std::optional<sol::NpyInt64>& time = workload_.node_types[edge.source].time;
        return time && workload_.times ? &*time : nullptr;
    }

    // First position in [first, end) whose source time exceeds bound (end if none).
    static std::int64_t upper_bound_by_time(const sol::EdgeType& edge, const sol::NpyInt64& time,
                                            std::int64_t first, std::int64_t end, std::int64_t bound) {
        std::int64_t count = end - first;
        while (count > 0) {
            const std::int64_t half = count / 2;
            const std::int64_t middle = first + half;
            if (time[static_cast<std::size_t>(edge.row[static_cast<std::size_t>(middle)])] > bound) {
                count = half;
            } else {
                first = middle + 1;
                count -= half + 1;
            }
        }
        return first;
    }

    template <class Sink>
    static void append_range(const sol::EdgeType& edge, std::int64_t first, std::int64_t end, std::int64_t batch,
                             std::vector<FrontierEntry>& reached, Sink& sink) {
        for (std::int64_t p = first; p < end; ++p) {
            const std::int64_t node = edge.row[static_cast<std::size_t>(p)];
            reached.push_back({node, batch});
            sink.add(node);
        }
    }

    template <class Sink>
    void append_floyd(const sol::EdgeType& edge, std::int64_t lo, std::int64_t n, std::int64_t k,
                      std::int64_t batch, std::vector<FrontierEntry>& reached, Sink& sink) {
        chosen_.clear();
        for (std::int64_t j = n - k; j < n; ++j) {
            std::uint64_t offset = generator_() % static_cast<std::uint64_t>(j + 1);
            if (std::find(chosen_.begin(), chosen_.end(), offset) != chosen_.end()) {
                offset = static_cast<std::uint64_t>(j);
            }
            chosen_.push_back(offset);
            const std::int64_t node = edge.row[static_cast<std::size_t>(lo + static_cast<std::int64_t>(offset))];
            reached.push_back({node, batch});
            sink.add(node);
        }
    }

    template <class Sink>
    void expand(const sol::EdgeType& edge, std::size_t hop, Sink& sink) {
        const std::vector<FrontierEntry>& frontier = current_[edge.destination];
        std::vector<FrontierEntry>& reached = next_[edge.source];
        const sol::NpyInt64* time = time_of_source(edge);
        if (edge.window_mode) {
            if (hop < edge.windows.size() && time != nullptr) {
                expand_window(edge, edge.windows[hop], *time, frontier, reached, sink);
            }
            return;
        }
        const std::int64_t k = hop < edge.counts.size() ? edge.counts[hop] : 0;
        if (k == 0) {
            return;
        }
        for (const FrontierEntry& entry : frontier) {
            const auto v = static_cast<std::size_t>(entry.node);
            const std::int64_t lo = edge.colptr[v];
            const std::int64_t hi = edge.colptr[v + 1];
            if (hi <= lo) {
                continue;
            }
            if (time != nullptr) {
                const std::int64_t seed_time = seed_times_[static_cast<std::size_t>(entry.batch)];
                const std::int64_t end = upper_bound_by_time(edge, *time, lo, hi, seed_time);
                append_range(edge, k > 0 ? std::max(lo, end - k) : lo, end, entry.batch, reached, sink);
            } else if (k < 0 || k >= hi - lo) {
                append_range(edge, lo, hi, entry.batch, reached, sink);
            } else {
                append_floyd(edge, lo, hi - lo, k, entry.batch, reached, sink);
            }
        }
    }

    template <class Sink>
    void expand_window(const sol::EdgeType& edge, const sol::Window& window, const sol::NpyInt64& time,
                       const std::vector<FrontierEntry>& frontier, std::vector<FrontierEntry>& reached,
                       Sink& sink) {
        for (const FrontierEntry& entry : frontier) {
            const auto v = static_cast<std::size_t>(entry.node);
            const std::int64_t lo = edge.colptr[v];
            const std::int64_t hi = edge.colptr[v + 1];
            const std::int64_t seed_time = seed_times_[static_cast<std::size_t>(entry.batch)];
            // Open at the start, closed at the end: (t + start, t + end].
            const std::int64_t first =
                window.has_start ? upper_bound_by_time(edge, time, lo, hi, seed_time + window.start) : lo;
            const std::int64_t end = upper_bound_by_time(edge, time, first, hi, seed_time + window.end);
            append_range(edge, first, end, entry.batch, reached, sink);
        }
    }

    const sol::Workload& workload_;
    std::vector<std::vector<FrontierEntry>> current_;
    std::vector<std::vector<FrontierEntry>> next_;
    std::vector<std::int64_t> seed_times_;
    std::vector<std::uint64_t> chosen_;
    std::mt19937 generator_;
};

// ---- measurement --------------------------------------------------------------

// CPU time of this thread: unlike wall time it stops while other processes
// hold the core, which keeps medians usable on a shared machine.
std::int64_t thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

double median(std::vector<std::int64_t> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    if (values.size() % 2 == 1) {
        return static_cast<double>(values[middle]);
    }
    return (static_cast<double>(values[middle - 1]) + static_cast<double>(values[middle])) / 2.0;
}

std::uint64_t digest_batches(Traversal& traversal, std::size_t first, std::size_t end, std::uint64_t digest) {
    for (std::size_t batch = first; batch < end; ++batch) {
        BatchDigest batch_digest;
        traversal.run_batch(batch, batch_digest);
        digest = batch_digest.fold_into(digest);
    }
    return digest;
}

int run(const std::string& workload_path) {
    const sol::Workload workload = sol::load_workload(workload_path);
    Traversal traversal(workload);
    const std::size_t warmup = workload.warmup;
    const std::size_t batches = workload.batches();

    std::uint64_t digest = digest_batches(traversal, 0, warmup, 0);

    const std::mt19937 timing_start = traversal.generator();
    std::vector<std::int64_t> nanoseconds;
    std::vector<std::int64_t> cpu_nanoseconds;
    std::uint64_t edges = 0;
    NoDigest no_digest;
    for (std::size_t batch = warmup; batch < batches; ++batch) {
        const std::int64_t cpu_started = thread_cpu_ns();
        const auto started = std::chrono::steady_clock::now();
        edges += traversal.run_batch(batch, no_digest);
        const auto stopped = std::chrono::steady_clock::now();
        cpu_nanoseconds.push_back(thread_cpu_ns() - cpu_started);
        nanoseconds.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(stopped - started).count());
    }

    traversal.generator() = timing_start;
    digest = digest_batches(traversal, warmup, batches, digest);

    std::int64_t total_ns = 0;
    for (std::int64_t ns : nanoseconds) {
        total_ns += ns;
    }
    const double seconds = static_cast<double>(total_ns) * 1e-9;
    std::printf(
        "{\"workload\": \"%s\", \"warmup_batches\": %zu, \"measured_batches\": %zu, \"median_ns\": %.1f, "
        "\"cpu_median_ns\": %.1f, "
        "\"min_ns\": %" PRId64 ", \"total_ns\": %" PRId64 ", \"edges\": %" PRIu64 ", \"edges_per_second\": %.1f, "
        "\"digest\": \"%016" PRIx64 "\"}\n",
        workload.name.c_str(), warmup, nanoseconds.size(), nanoseconds.empty() ? 0.0 : median(nanoseconds),
        cpu_nanoseconds.empty() ? 0.0 : median(cpu_nanoseconds),
        nanoseconds.empty() ? 0 : *std::min_element(nanoseconds.begin(), nanoseconds.end()), total_ns, edges,
        seconds > 0 ? static_cast<double>(edges) / seconds : 0.0, digest);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string argument = argc == 2 ? argv[1] : "";
    if (argument.empty()) {
        std::fprintf(stderr, "usage: vornlib_sol --build-info | vornlib_sol WORKLOAD_FILE\n");
        return 2;
    }
    if (argument == "--build-info") {
        print_build_info();
        return 0;
    }
    try {
        return run(argument);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vornlib_sol: %s\n", error.what());
        return 1;
    }
}
