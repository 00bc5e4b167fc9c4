#include "sampler/neighbor_selection.h"

#include "sampler/errors.h"

namespace vornlib {

namespace {

CandidateRun checked_candidates(const EdgeView& edge, std::int64_t node) {
    if (!edge.has_candidates_of(node)) {
        errors::node_outside_colptr(edge.key, node, edge.colptr.size);
    }
    const CandidateRun run = edge.candidates_of(node);
    if (run.redo) {
        errors::range_outside_row(edge.key, node, run.lo, run.hi, edge.row.size);
    }
    return run;
}

}  // namespace

std::int64_t neighbor_time(const EdgeView& edge, std::int64_t position) {
    std::int64_t time = 0;
    if (!edge.try_time_at(position, time)) {
        errors::neighbor_outside_node_time(edge.key, position, edge.row[position], edge.source_type,
                                           edge.source_time->size);
    }
    return time;
}

std::int64_t upper_bound_by_time(const EdgeView& edge, std::int64_t first, std::int64_t count, Int128 bound) {
    while (count > 0) {
        const bool later = neighbor_time(edge, bisection_middle(first, count)) > bound;
        bisection_narrow(first, count, later);
    }
    return first;
}

void check_time_order(const EdgeView& edge, std::int64_t begin, std::int64_t end) {
    if (order_checked(begin, end) && out_of_order(neighbor_time(edge, begin), neighbor_time(edge, end - 1))) {
        errors::unsorted_temporal_neighborhood();
    }
}

void NeighborChooser::choose_neighbors(const EdgeView& edge, std::int64_t node, const HopParameter& hop,
                                       const std::int64_t* seed_time, std::vector<std::int64_t>& out) {
    const Selection selection = selection_of(hop, seed_time != nullptr);
    if (selection == Selection::none) {
        return;  // nothing read, nothing drawn
    }
    const CandidateRun run = checked_candidates(edge, node);
    if (run.hi <= run.lo) {
        return;
    }
    switch (selection) {
        case Selection::none:
            return;
        case Selection::uniform:
            choose_uniform(run, hop.k, out);
            return;
        case Selection::latest:
        case Selection::window: {
            std::int64_t first = run.lo;
            if (searches_start(selection, hop)) {
                first = upper_bound_by_time(edge, run.lo, run.hi - run.lo, window_bound(*seed_time, hop.start));
            }
            const std::int64_t last =
                upper_bound_by_time(edge, first, run.hi - first, end_bound(selection, hop, *seed_time));
            check_time_order(edge, first, last);
            append_ascending(trimmed_first(selection, hop, first, last), last, out);
            return;
        }
    }
}

void NeighborChooser::draw_uniform(CandidateRun run, std::int64_t k, std::vector<std::int64_t>& out) {
    const std::int64_t n = run.hi - run.lo;
    // Robert Floyd's algorithm: exactly k draws, output in draw order.
    ChosenOffsets::Scope chosen(chosen_, n, k);
    for (std::int64_t j = n - k; j < n; ++j) {
        const std::uint64_t draw = generator_();
        std::uint64_t offset = draw % static_cast<std::uint64_t>(j + 1);
        if (!chosen.insert(offset)) {
            offset = static_cast<std::uint64_t>(j);  // j itself is never chosen before this step
            chosen.insert(offset);
        }
        out.push_back(run.lo + static_cast<std::int64_t>(offset));
    }
}

}  // namespace vornlib
