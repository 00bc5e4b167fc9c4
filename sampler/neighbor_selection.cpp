#include "sampler/neighbor_selection.h"

#include <algorithm>

#include "sampler/errors.h"

namespace vornlib {

namespace {

void append_ascending(std::int64_t begin, std::int64_t end, std::vector<std::int64_t>& out) {
    for (std::int64_t p = begin; p < end; ++p) {
        out.push_back(p);
    }
}

}  // namespace

// ---- time helpers ----------------------------------------------------------

std::int64_t neighbor_time(const EdgeView& edge, std::int64_t position) {
    const std::int64_t neighbor = edge.row[position];
    const Int64Span& times = *edge.source_time;
    if (!times.contains(neighbor)) {
        errors::neighbor_outside_node_time(edge.key, position, neighbor, edge.source_type, times.size);
    }
    return times[neighbor];
}

std::int64_t upper_bound_by_time(const EdgeView& edge, std::int64_t first, std::int64_t count,
                                 Int128 bound) {
    while (count > 0) {
        const std::int64_t half = count / 2;
        const std::int64_t middle = first + half;
        if (neighbor_time(edge, middle) > bound) {
            count = half;
        } else {
            first = middle + 1;
            count = count - half - 1;
        }
    }
    return first;
}

void check_time_order(const EdgeView& edge, std::int64_t begin, std::int64_t end) {
    if (end - begin >= 2 && neighbor_time(edge, begin) > neighbor_time(edge, end - 1)) {
        errors::unsorted_temporal_neighborhood();
    }
}

// ---- NeighborChooser -------------------------------------------------------

NeighborChooser::Range NeighborChooser::candidate_range(const EdgeView& edge, std::int64_t node) {
    if (!edge.has_candidates_of(node)) {
        errors::node_outside_colptr(edge.key, node, edge.colptr.size);
    }
    const Range range{edge.colptr[node], edge.colptr[node + 1]};
    if (!edge.range_inside_row(range.lo, range.hi)) {
        errors::range_outside_row(edge.key, node, range.lo, range.hi, edge.row.size);
    }
    return range;
}

void NeighborChooser::choose_neighbors(const EdgeView& edge, std::int64_t node, const HopParameter& hop,
                                       const std::int64_t* seed_time, std::vector<std::int64_t>& out) {
    const bool count_mode = hop.mode == HopParameter::Mode::count;
    if (count_mode && hop.k == 0) {
        return;  // nothing read, nothing drawn
    }
    if (!count_mode && seed_time == nullptr) {
        return;  // a window needs a seed time to be placed
    }
    const Range range = candidate_range(edge, node);
    if (range.hi <= range.lo) {
        return;
    }
    if (!count_mode) {
        choose_window(edge, range, hop, *seed_time, out);
    } else if (seed_time == nullptr) {
        choose_uniform(range, hop.k, out);
    } else {
        choose_latest(edge, range, hop.k, *seed_time, out);
    }
}

void NeighborChooser::choose_uniform(Range range, std::int64_t k, std::vector<std::int64_t>& out) {
    const std::int64_t n = range.hi - range.lo;
    if (k < 0 || k >= n) {
        append_ascending(range.lo, range.hi, out);
        return;
    }
    // Robert Floyd's algorithm: exactly k draws, output in draw order.
    ChosenOffsets::Selection chosen(chosen_, n, k);
    for (std::int64_t j = n - k; j < n; ++j) {
        const std::uint64_t draw = generator_();
        std::uint64_t offset = draw % static_cast<std::uint64_t>(j + 1);
        if (!chosen.insert(offset)) {
            offset = static_cast<std::uint64_t>(j);  // j itself is never chosen before this step
            chosen.insert(offset);
        }
        out.push_back(range.lo + static_cast<std::int64_t>(offset));
    }
}

void NeighborChooser::choose_latest(const EdgeView& edge, Range range, std::int64_t k, std::int64_t seed_time,
                                    std::vector<std::int64_t>& out) {
    const std::int64_t eligible_end = upper_bound_by_time(edge, range.lo, range.hi - range.lo, seed_time);
    check_time_order(edge, range.lo, eligible_end);
    const std::int64_t first = k > 0 ? std::max(range.lo, eligible_end - k) : range.lo;
    append_ascending(first, eligible_end, out);
}

void NeighborChooser::choose_window(const EdgeView& edge, Range range, const HopParameter& hop,
                                    std::int64_t seed_time, std::vector<std::int64_t>& out) {
    const Int128 t = seed_time;
    std::int64_t first = range.lo;
    if (hop.has_start) {
        first = upper_bound_by_time(edge, range.lo, range.hi - range.lo, t + hop.start);
    }
    const std::int64_t last = upper_bound_by_time(edge, first, range.hi - first, t + hop.end);
    check_time_order(edge, first, last);
    append_ascending(first, last, out);
}

}  // namespace vornlib
