#pragma once

// What a selection is and the rules that decide it. Every rule is stated here
// once, as a small inline function, and used alike by the checked single-node
// path (neighbor_selection) and by the whole-frontier paths
// (frontier_selection). A new way of selecting is one more Selection, its
// rule here, and one case in each switch that dispatches on it.

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "sampler/int64_span.h"
#include "sampler/prefetch.h"
#include "sampler/wide_int.h"

namespace vornlib {

// What the request asks of one edge type at one hop: a count k (negative =
// all) or a time window (t + start, t + end] around the seed time.
struct HopParameter {
    enum class Mode { count, window };
    Mode mode = Mode::count;
    std::int64_t k = 0;
    bool has_start = false;  // window: without a start the window is open below
    std::int64_t start = 0;
    std::int64_t end = 0;

    static HopParameter count(std::int64_t k) { return {Mode::count, k, false, 0, 0}; }
    static HopParameter window(bool has_start, std::int64_t start, std::int64_t end) {
        return {Mode::window, 0, has_start, start, end};
    }
};

// The routine that serves one edge type at one hop.
enum class Selection {
    none,     // a count of 0, or a window with no seed time to place it: nothing is read
    uniform,  // a count without time: Floyd's uniform choice of k
    latest,   // a count with time: the k latest candidates not later than the seed time
    window,   // a window with time: every candidate inside it
};

// The one rule that maps a hop's parameter, and whether it samples with time,
// to its routine. Decided once per edge type and hop.
inline Selection selection_of(const HopParameter& hop, bool timed) {
    if (hop.mode == HopParameter::Mode::window) {
        return timed ? Selection::window : Selection::none;
    }
    if (hop.k == 0) {
        return Selection::none;
    }
    return timed ? Selection::latest : Selection::uniform;
}

// One node's candidates [lo, hi) in row, or a mark that the checked
// single-node path must decide the node itself (it raises the error).
struct CandidateRun {
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    bool redo = false;
};

// What one edge type contributes to a selection: its CSC arrays, the source
// type's timestamps when this hop samples with time, and names for errors.
struct EdgeView {
    std::string_view key;
    std::string_view source_type;
    Int64Span colptr;
    Int64Span row;
    const Int64Span* source_time = nullptr;  // nullptr: sampling without time

    // colptr[node] and colptr[node + 1] both exist; written so that node + 1
    // cannot overflow.
    bool has_candidates_of(std::int64_t node) const { return node >= 0 && node < colptr.size - 1; }
    // A candidate range is empty or lies inside row.
    bool range_inside_row(std::int64_t lo, std::int64_t hi) const {
        return hi <= lo || (lo >= 0 && hi <= row.size);
    }
    // Reads node's candidates; marks the run for redo when either check fails.
    CandidateRun candidates_of(std::int64_t node) const {
        if (!has_candidates_of(node)) {
            return {0, 0, true};
        }
        const CandidateRun run{colptr[node], colptr[node + 1], false};
        return range_inside_row(run.lo, run.hi) ? run : CandidateRun{run.lo, run.hi, true};
    }
    // Asks for colptr[node] ahead of use; a node without entries is skipped.
    void prefetch_candidates_of(std::int64_t node) const {
        if (has_candidates_of(node)) {
            prefetch_line(colptr.data + node);
        }
    }
    // Whether a source node has a timestamp to read.
    bool has_time_of(std::int64_t neighbor) const { return source_time->contains(neighbor); }
    // The timestamp of the neighbour at a position inside row, when that
    // neighbour has one; false otherwise.
    bool try_time_at(std::int64_t position, std::int64_t& time) const {
        const std::int64_t neighbor = row[position];
        if (!has_time_of(neighbor)) {
            return false;
        }
        time = (*source_time)[neighbor];
        return true;
    }
};

// ---- the rules ---------------------------------------------------------------

// Count mode without time takes every candidate when k is negative or at
// least the number of candidates n, with no draw.
inline bool takes_all(std::int64_t k, std::int64_t n) { return k < 0 || k >= n; }

// The exact upper-bound bisection: a search of count positions from first for
// the first one later than a bound probes first + count / 2 next ...
inline std::int64_t bisection_middle(std::int64_t first, std::int64_t count) { return first + count / 2; }
// ... and narrows by whether that probe was later than the bound.
inline void bisection_narrow(std::int64_t& first, std::int64_t& count, bool later) {
    const std::int64_t half = count / 2;
    if (later) {
        count = half;
    } else {
        first += half + 1;
        count -= half + 1;
    }
}

// The bound of a window end: seed time + offset, exact in 128 bits.
inline Int128 window_bound(std::int64_t seed_time, std::int64_t offset) { return Int128{seed_time} + offset; }

// The run's end bound: the seed time itself for the latest k, t + end for a window.
inline Int128 end_bound(Selection selection, const HopParameter& hop, std::int64_t seed_time) {
    return selection == Selection::window ? window_bound(seed_time, hop.end) : Int128{seed_time};
}

// Only a window with a start offset searches for its first position.
inline bool searches_start(Selection selection, const HopParameter& hop) {
    return selection == Selection::window && hop.has_start;
}

// A run of at least two positions must not start later than it ends; only
// its two ends are compared.
inline bool order_checked(std::int64_t first, std::int64_t last) { return last - first >= 2; }
inline bool out_of_order(std::int64_t first_time, std::int64_t last_time) { return first_time > last_time; }

// The latest k of an eligible run [first, last): the run is trimmed from below.
inline std::int64_t trimmed_first(Selection selection, const HopParameter& hop, std::int64_t first,
                                  std::int64_t last) {
    return selection == Selection::latest && hop.k > 0 ? std::max(first, last - hop.k) : first;
}

}  // namespace vornlib
