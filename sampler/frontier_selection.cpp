#include "sampler/frontier_selection.h"

#include <algorithm>
#include <array>

#include "sampler/prefetch.h"

namespace vornlib {

namespace {

// ---- count mode without time --------------------------------------------------

// Far enough ahead that many colptr misses are in flight while the loop,
// which does almost nothing else, reaches them.
constexpr std::size_t kColptrPrefetchDistance = 32;

void read_runs(const EdgeView& edge, const FrontierNodes& frontier, std::vector<CandidateRun>& runs) {
    runs.resize(frontier.count);
    for (std::size_t i = 0; i < frontier.count; ++i) {
        if (i + kColptrPrefetchDistance < frontier.count) {
            edge.prefetch_candidates_of(frontier.ids[i + kColptrPrefetchDistance]);
        }
        runs[i] = edge.candidates_of(frontier.ids[i]);
    }
}

// ---- the latest k and windows ---------------------------------------------------

// Enough lanes in flight to keep the memory system busy on two dependent
// loads per probe (row entry, then its timestamp), and to spread each
// group's fixed work over many nodes.
constexpr std::size_t kLanes = 32;

// One node's state while its group is worked on.
struct Lane {
    std::int64_t node = 0;
    std::int64_t seed_time = 0;
    CandidateRun run;
    std::int64_t first = 0;  // result of the selection: [first, last)
    std::int64_t last = 0;

    bool searchable() const { return !run.redo && run.hi > run.lo; }
};

// One upper-bound search in flight.
struct Search {
    std::int64_t first;
    std::int64_t count;
    Int128 bound;
    std::int64_t middle;
    std::int64_t neighbor;
    bool reading_time;  // false: row[middle] requested; true: its timestamp requested
};

// Runs the bisection of every added lane at once, interleaving the lanes'
// loads, and writes each added lane's bound to results (a redo lane's value
// is meaningless). A row entry without a timestamp marks the lane for redo
// instead of throwing here.
class InterleavedBisection {
public:
    InterleavedBisection(const EdgeView& edge, std::array<std::int64_t, kLanes>& results)
        : edge_(edge), results_(results) {}

    void add(std::size_t lane, std::int64_t first, std::int64_t count, Int128 bound) {
        if (count <= 0) {
            results_[lane] = first;
            return;
        }
        Search& search = searches_[lane];
        search = Search{first, count, bound, 0, 0, false};
        request_row(search);
        active_[active_count_++] = lane;
    }

    void run(std::array<Lane, kLanes>& lanes) {
        while (active_count_ > 0) {
            std::size_t kept = 0;
            for (std::size_t a = 0; a < active_count_; ++a) {
                const std::size_t lane = active_[a];
                if (step(searches_[lane], lanes[lane])) {
                    active_[kept++] = lane;
                } else {
                    results_[lane] = searches_[lane].first;
                }
            }
            active_count_ = kept;
        }
    }

private:
    void request_row(Search& search) const {
        search.middle = bisection_middle(search.first, search.count);
        search.reading_time = false;
        prefetch_line(edge_.row.data + search.middle);
    }

    // One pipeline step; false once the search is finished (or abandoned).
    bool step(Search& search, Lane& lane) const {
        if (!search.reading_time) {
            search.neighbor = edge_.row[search.middle];
            if (!edge_.has_time_of(search.neighbor)) {
                lane.run.redo = true;
                return false;
            }
            search.reading_time = true;
            prefetch_line(edge_.source_time->data + search.neighbor);
            return true;
        }
        bisection_narrow(search.first, search.count, (*edge_.source_time)[search.neighbor] > search.bound);
        if (search.count == 0) {
            return false;
        }
        request_row(search);
        return true;
    }

    const EdgeView& edge_;
    std::array<std::int64_t, kLanes>& results_;
    // Only the entries of added lanes are ever read.
    std::array<Search, kLanes> searches_;
    std::array<std::size_t, kLanes> active_;
    std::size_t active_count_ = 0;
};

// Asks for the colptr entries of the group starting at first, ahead of use.
void prefetch_colptr(const EdgeView& edge, const FrontierNodes& frontier, std::size_t first) {
    const std::size_t end = std::min(frontier.count, first + kLanes);
    for (std::size_t i = first; i < end; ++i) {
        edge.prefetch_candidates_of(frontier.ids[i]);
    }
}

// The selection of every lane of one group; a lane whose data fails a check,
// or whose run is out of time order, is left marked for redo.
void select_group(const EdgeView& edge, Selection selection, const HopParameter& hop,
                  std::array<Lane, kLanes>& lanes, std::size_t used) {
    std::array<std::int64_t, kLanes> bounds{};
    for (std::size_t i = 0; i < used; ++i) {
        lanes[i].run = edge.candidates_of(lanes[i].node);
        lanes[i].first = lanes[i].run.lo;
    }
    if (searches_start(selection, hop)) {
        InterleavedBisection starts(edge, bounds);
        for (std::size_t i = 0; i < used; ++i) {
            if (lanes[i].searchable()) {
                starts.add(i, lanes[i].run.lo, lanes[i].run.hi - lanes[i].run.lo,
                           window_bound(lanes[i].seed_time, hop.start));
            }
        }
        starts.run(lanes);
        for (std::size_t i = 0; i < used; ++i) {
            if (lanes[i].searchable()) {
                lanes[i].first = bounds[i];
            }
        }
    }

    InterleavedBisection ends(edge, bounds);
    for (std::size_t i = 0; i < used; ++i) {
        Lane& lane = lanes[i];
        if (lane.searchable()) {
            ends.add(i, lane.first, lane.run.hi - lane.first, end_bound(selection, hop, lane.seed_time));
        }
    }
    ends.run(lanes);

    for (std::size_t i = 0; i < used; ++i) {
        Lane& lane = lanes[i];
        if (!lane.searchable()) {
            lane.last = lane.first;
            continue;
        }
        lane.last = bounds[i];
        std::int64_t first_time = 0;
        std::int64_t last_time = 0;
        if (order_checked(lane.first, lane.last)) {
            const bool readable =
                edge.try_time_at(lane.first, first_time) && edge.try_time_at(lane.last - 1, last_time);
            lane.run.redo = !readable || out_of_order(first_time, last_time);
        }
        lane.first = trimmed_first(selection, hop, lane.first, lane.last);
    }
}

}  // namespace

std::size_t choose_uniform_frontier(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                                    const FrontierNodes& frontier, std::vector<CandidateRun>& runs,
                                    std::vector<std::int64_t>& positions, std::vector<std::size_t>& node_ends,
                                    std::size_t budget) {
    read_runs(edge, frontier, runs);
    for (std::size_t i = 0; i < frontier.count; ++i) {
        const CandidateRun run = runs[i];
        if (run.redo) {
            chooser.choose_neighbors(edge, frontier.ids[i], hop, nullptr, positions);
        } else {
            chooser.choose_uniform(run, hop.k, positions);
        }
        node_ends.push_back(positions.size());
        if (positions.size() >= budget) {
            return i + 1;
        }
    }
    return frontier.count;
}

std::size_t choose_timed_frontier(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                                  const FrontierNodes& frontier, const std::vector<std::int64_t>& seed_times,
                                  std::vector<std::int64_t>& positions, std::vector<std::size_t>& node_ends,
                                  std::size_t budget) {
    const Selection selection = selection_of(hop, true);
    if (selection == Selection::none) {
        node_ends.insert(node_ends.end(), frontier.count, positions.size());
        return frontier.count;
    }
    std::array<Lane, kLanes> lanes{};
    prefetch_colptr(edge, frontier, 0);
    for (std::size_t group = 0; group < frontier.count; group += kLanes) {
        const std::size_t used = std::min(kLanes, frontier.count - group);
        for (std::size_t i = 0; i < used; ++i) {
            lanes[i] = Lane{};
            lanes[i].node = frontier.ids[group + i];
            lanes[i].seed_time = seed_times[static_cast<std::size_t>(frontier.batches[group + i])];
        }
        prefetch_colptr(edge, frontier, group + kLanes);
        select_group(edge, selection, hop, lanes, used);
        for (std::size_t i = 0; i < used; ++i) {
            const Lane& lane = lanes[i];
            if (lane.run.redo) {
                chooser.choose_neighbors(edge, lane.node, hop, &lane.seed_time, positions);
            } else {
                for (std::int64_t p = lane.first; p < lane.last; ++p) {
                    positions.push_back(p);
                }
            }
            node_ends.push_back(positions.size());
        }
        if (positions.size() >= budget) {
            return group + used;
        }
    }
    return frontier.count;
}

}  // namespace vornlib
