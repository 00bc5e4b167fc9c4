#include "sampler/timed_frontier.h"

#include <algorithm>
#include <array>

#include "sampler/wide_int.h"

namespace vornlib {

namespace {

// Enough lanes in flight to keep the memory system busy on two dependent
// loads per probe (row entry, then its timestamp).
constexpr std::size_t kLanes = 16;

// One node's state while its group is worked on.
struct Lane {
    std::int64_t node = 0;
    std::int64_t seed_time = 0;
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    std::int64_t first = 0;  // result of the selection: [first, last)
    std::int64_t last = 0;
    bool redo = false;       // let the checked single-node path decide this node
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

// Runs the exact upper-bound bisection of every added lane at once,
// interleaving the lanes' loads. A row entry without a timestamp marks the
// lane for redo instead of throwing here.
class InterleavedBisection {
public:
    explicit InterleavedBisection(const EdgeView& edge) : edge_(edge) {}

    void add(std::size_t lane, std::int64_t first, std::int64_t count, Int128 bound) {
        Search search{first, count, bound, 0, 0, false};
        if (count > 0) {
            request_row(search);
            active_[active_count_++] = lane;
        }
        searches_[lane] = search;
    }

    // Writes each added lane's bound to results; a redo lane's value is meaningless.
    void run(std::array<Lane, kLanes>& lanes, std::array<std::int64_t, kLanes>& results) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            results[lane] = searches_[lane].first;
        }
        while (active_count_ > 0) {
            std::size_t kept = 0;
            for (std::size_t a = 0; a < active_count_; ++a) {
                const std::size_t lane = active_[a];
                if (step(searches_[lane], lanes[lane])) {
                    active_[kept++] = lane;
                } else {
                    results[lane] = searches_[lane].first;
                }
            }
            active_count_ = kept;
        }
    }

private:
    void request_row(Search& search) const {
        search.middle = search.first + search.count / 2;
        search.reading_time = false;
        __builtin_prefetch(edge_.row.data + search.middle);
    }

    // One pipeline step; false once the search is finished (or abandoned).
    bool step(Search& search, Lane& lane) const {
        if (!search.reading_time) {
            search.neighbor = edge_.row[search.middle];
            if (!edge_.source_time->contains(search.neighbor)) {
                lane.redo = true;
                return false;
            }
            search.reading_time = true;
            __builtin_prefetch(edge_.source_time->data + search.neighbor);
            return true;
        }
        const std::int64_t half = search.count / 2;
        if ((*edge_.source_time)[search.neighbor] > search.bound) {
            search.count = half;
        } else {
            search.first = search.middle + 1;
            search.count = search.count - half - 1;
        }
        if (search.count == 0) {
            return false;
        }
        request_row(search);
        return true;
    }

    const EdgeView& edge_;
    std::array<Search, kLanes> searches_{};
    std::array<std::size_t, kLanes> active_{};
    std::size_t active_count_ = 0;
};

// Timestamp of a row position when it is safe to read, else marks the lane.
bool safe_time(const EdgeView& edge, std::int64_t position, Lane& lane, std::int64_t& time) {
    const std::int64_t neighbor = edge.row[position];
    if (!edge.source_time->contains(neighbor)) {
        lane.redo = true;
        return false;
    }
    time = (*edge.source_time)[neighbor];
    return true;
}

// Asks for the colptr entries of the group starting at first, ahead of use.
void prefetch_colptr(const EdgeView& edge, const FrontierNodes& frontier, std::size_t first) {
    const std::size_t end = std::min(frontier.count, first + kLanes);
    for (std::size_t i = first; i < end; ++i) {
        edge.prefetch_candidates_of(frontier.ids[i]);
    }
}

// Loads colptr for each lane; lanes whose reads would fail are marked redo.
void load_ranges(const EdgeView& edge, std::array<Lane, kLanes>& lanes, std::size_t used) {
    for (std::size_t i = 0; i < used; ++i) {
        Lane& lane = lanes[i];
        lane.redo = !edge.try_candidates_of(lane.node, lane.lo, lane.hi);
    }
}

// The window or count-with-time selection of every lane of one group.
void select_group(const EdgeView& edge, const HopParameter& hop, std::array<Lane, kLanes>& lanes,
                  std::size_t used) {
    std::array<std::int64_t, kLanes> bounds{};
    const bool window = hop.mode == HopParameter::Mode::window;
    const auto searchable = [&](const Lane& lane) { return !lane.redo && lane.hi > lane.lo; };

    // Window start (when present): first position later than t + start.
    for (std::size_t i = 0; i < used; ++i) {
        lanes[i].first = lanes[i].lo;
    }
    if (window && hop.has_start) {
        InterleavedBisection starts(edge);
        for (std::size_t i = 0; i < used; ++i) {
            if (searchable(lanes[i])) {
                starts.add(i, lanes[i].lo, lanes[i].hi - lanes[i].lo, Int128{lanes[i].seed_time} + hop.start);
            }
        }
        starts.run(lanes, bounds);
        for (std::size_t i = 0; i < used; ++i) {
            if (searchable(lanes[i])) {
                lanes[i].first = bounds[i];
            }
        }
    }

    // End of the eligible run: first position later than t (+ end offset).
    InterleavedBisection ends(edge);
    for (std::size_t i = 0; i < used; ++i) {
        Lane& lane = lanes[i];
        if (searchable(lane)) {
            const Int128 bound = window ? Int128{lane.seed_time} + hop.end : Int128{lane.seed_time};
            ends.add(i, lane.first, lane.hi - lane.first, bound);
        }
    }
    ends.run(lanes, bounds);

    for (std::size_t i = 0; i < used; ++i) {
        Lane& lane = lanes[i];
        if (!searchable(lane)) {
            lane.last = lane.first;
            continue;
        }
        lane.last = bounds[i];
        // The order check of the run [first, last): its ends only.
        std::int64_t first_time = 0;
        std::int64_t last_time = 0;
        if (lane.last - lane.first >= 2 && safe_time(edge, lane.first, lane, first_time) &&
            safe_time(edge, lane.last - 1, lane, last_time) && first_time > last_time) {
            lane.redo = true;  // the single-node path raises the order error
        }
        if (!window && hop.k > 0) {
            lane.first = std::max(lane.first, lane.last - hop.k);
        }
    }
}

}  // namespace

void choose_timed_frontier(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                           const FrontierNodes& frontier, const std::vector<std::int64_t>& seed_times,
                           std::vector<std::int64_t>& positions, std::vector<std::size_t>& node_ends,
                           WorkPacer& pacer) {
    if (hop.mode == HopParameter::Mode::count && hop.k == 0) {
        node_ends.insert(node_ends.end(), frontier.count, positions.size());  // a count of 0 reads nothing
        return;
    }
    std::array<Lane, kLanes> lanes{};
    prefetch_colptr(edge, frontier, 0);
    for (std::size_t group = 0; group < frontier.count; group += kLanes) {
        const std::size_t used = std::min(kLanes, frontier.count - group);
        const std::size_t before = positions.size();
        for (std::size_t i = 0; i < used; ++i) {
            const auto batch = static_cast<std::size_t>(frontier.batches[group + i]);
            lanes[i] = Lane{};
            lanes[i].node = frontier.ids[group + i];
            lanes[i].seed_time = seed_times[batch];
        }
        prefetch_colptr(edge, frontier, group + kLanes);
        load_ranges(edge, lanes, used);
        select_group(edge, hop, lanes, used);
        for (std::size_t i = 0; i < used; ++i) {
            const Lane& lane = lanes[i];
            if (lane.redo) {
                chooser.choose_neighbors(edge, lane.node, hop, &lane.seed_time, positions);
            } else {
                for (std::int64_t p = lane.first; p < lane.last; ++p) {
                    positions.push_back(p);
                }
            }
            node_ends.push_back(positions.size());
        }
        pacer.spend(WorkPacer::kNodeUnits * used + positions.size() - before);
    }
}

}  // namespace vornlib
