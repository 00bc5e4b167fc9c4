#include "sampler/hop_expansion.h"

#include <algorithm>

#include "sampler/errors.h"
#include "sampler/timed_frontier.h"

namespace vornlib {

namespace {

// How far ahead the loops ask for memory they will read: far enough to hide
// a cache miss behind the work on the nodes in between.
constexpr std::size_t kRowPrefetchDistance = 32;
constexpr std::size_t kSlotPrefetchDistance = 8;

}  // namespace

void ExpansionWorkspace::start(std::size_t type_count) {
    local_index.resize(type_count);
    frontier.assign(type_count, Frontier{});
    for (LocalNodeTable& table : local_index) {
        table.reset();
    }
    seed_times.clear();
    positions.clear();
}

void ExpansionWorkspace::release() {
    *this = ExpansionWorkspace{};
}

void HopExpansion::run() {
    plant_seeds();
    derive_seed_times();
    for (std::size_t hop = 0; hop < request_.num_hops; ++hop) {
        for (std::size_t entry = 0; entry < store_.edge_types().size(); ++entry) {
            pacer_.check_now();
            expand_edge_type(entry, hop);
        }
        advance_frontiers();
    }
}

void HopExpansion::plant_seeds() {
    const TypeId entity = request_.entity_type;
    const Int64Span seeds = request_.seed_node;
    if (seeds.size > static_cast<std::int64_t>(LocalNodeTable::kMaxIndex)) {
        errors::too_many_nodes("seed nodes");
    }
    NodeTables& nodes = tables_.nodes[entity];
    LocalNodeTable& index = workspace_.local_index[entity];
    nodes.batches.reserve(static_cast<std::size_t>(seeds.size));
    nodes.ids.reserve(static_cast<std::size_t>(seeds.size));
    pacer_.for_blocks(seeds.size_as_count(), [&](std::size_t begin, std::size_t end) {
        for (auto i = static_cast<std::int64_t>(begin); i < static_cast<std::int64_t>(end); ++i) {
            // Batches are distinct, so seeds naming the same node never merge.
            const auto local = static_cast<std::uint32_t>(i);
            index.find_or_insert(local, seeds[i], local);
            nodes.batches.push_back(i);
            nodes.ids.push_back(seeds[i]);
        }
    });
    nodes.num_sampled[0] = seeds.size;
    workspace_.frontier[entity] = {0, seeds.size};
}

void HopExpansion::derive_seed_times() {
    const Int64Span seeds = request_.seed_node;
    std::vector<std::int64_t>& times = workspace_.seed_times;
    if (request_.seed_time.size > 0) {
        // Never read past a seed_time shorter than seed_node (possible only
        // when the sampler has no timestamps, and then the times go unused).
        const std::int64_t count = std::min(seeds.size, request_.seed_time.size);
        times.assign(request_.seed_time.data, request_.seed_time.data + count);
        return;
    }
    const Int64Span* entity_time = store_.node_time(request_.entity_type);
    if (entity_time == nullptr) {
        return;
    }
    times.reserve(static_cast<std::size_t>(seeds.size));
    pacer_.for_blocks(seeds.size_as_count(), [&](std::size_t begin, std::size_t end) {
        for (auto i = static_cast<std::int64_t>(begin); i < static_cast<std::int64_t>(end); ++i) {
            if (!entity_time->contains(seeds[i])) {
                errors::seed_outside_node_time(store_.type_name(request_.entity_type), i, seeds[i],
                                               entity_time->size);
            }
            times.push_back((*entity_time)[seeds[i]]);
        }
    });
}

HopParameter HopExpansion::hop_parameter(KeyId key, std::size_t hop) {
    const EdgeMode& mode = request_.modes[key];
    if (mode.window) {
        return windows_.window_at(key, hop);
    }
    return HopParameter::count(mode.count_at(hop));
}

void HopExpansion::expand_edge_type(std::size_t entry, std::size_t hop) {
    const TypeId destination = store_.destination_of_entry(entry);
    if (destination == kNoType) {
        errors::missing_destination_frontier();
    }
    const TypeId source = store_.source_of_entry(entry);
    const KeyId key = store_.key_of_entry(entry);
    if (source == kNoType) {
        errors::unknown_source_type(store_.key_name(key), store_.edge_types()[entry].source);
    }
    tables_.edges[key].num_sampled.push_back(0);
    const HopParameter parameter = hop_parameter(key, hop);

    const std::vector<std::int64_t>& seed_times = workspace_.seed_times;
    const Int64Span* source_time = store_.node_time(source);
    const bool with_time = source_time != nullptr && !seed_times.empty();
    const EdgeView edge{store_.key_name(key), store_.type_name(source), store_.colptr(key), store_.row(key),
                        with_time ? source_time : nullptr};

    const ExpansionWorkspace::Frontier frontier = workspace_.frontier[destination];
    choose_frontier(edge, destination, frontier, parameter, with_time);
    record_frontier(key, source, destination, frontier);
}

// Choose phase: every frontier node's selection, in local-index order (which
// fixes the order of random draws). Nothing is recorded yet, so the
// destination's tables cannot move under the loop.
void HopExpansion::choose_frontier(const EdgeView& edge, TypeId destination,
                                   ExpansionWorkspace::Frontier frontier, const HopParameter& parameter,
                                   bool with_time) {
    const std::vector<std::int64_t>& batches = tables_.nodes[destination].batches;
    const std::vector<std::int64_t>& ids = tables_.nodes[destination].ids;
    const std::vector<std::int64_t>& seed_times = workspace_.seed_times;
    std::vector<std::int64_t>& positions = workspace_.positions;
    std::vector<std::size_t>& node_ends = workspace_.node_ends;
    const auto count = static_cast<std::size_t>(frontier.end - frontier.begin);
    const auto first = static_cast<std::size_t>(frontier.begin);
    positions.clear();
    node_ends.clear();
    node_ends.reserve(count);

    const bool count_mode = parameter.mode == HopParameter::Mode::count;
    if ((count_mode && parameter.k == 0) || (!count_mode && !with_time)) {
        node_ends.assign(count, 0);  // nothing to read, nothing to draw
        return;
    }
    const FrontierNodes nodes{ids.data() + first, batches.data() + first, count};
    if (!with_time) {
        choose_untimed_frontier(chooser_, edge, parameter, nodes, workspace_.ranges, positions, node_ends,
                                pacer_);
        return;
    }
    if (seed_times.size() == request_.seed_node.size_as_count()) {
        choose_timed_frontier(chooser_, edge, parameter, nodes, seed_times, positions, node_ends, pacer_);
        return;
    }
    // Seed times that do not cover every batch: node by node, each checked.
    for (std::size_t i = first; i < first + count; ++i) {
        const auto batch = static_cast<std::size_t>(batches[i]);
        const std::int64_t* seed_time = batch < seed_times.size() ? &seed_times[batch] : nullptr;
        const std::size_t before = positions.size();
        chooser_.choose_neighbors(edge, ids[i], parameter, seed_time, positions);
        node_ends.push_back(positions.size());
        pacer_.spend(WorkPacer::kNodeUnits + positions.size() - before);
    }
}

// Record phase: one edge per chosen position and one de-duplication lookup
// per reached (batch, node) pair, in the order the positions were chosen.
void HopExpansion::record_frontier(KeyId key, TypeId source, TypeId destination,
                                   ExpansionWorkspace::Frontier frontier) {
    std::vector<std::int64_t>& reached = workspace_.positions;
    gather_neighbors(store_.row(key), reached);
    const std::vector<std::size_t>& node_ends = workspace_.node_ends;
    EdgeTables& edges = tables_.edges[key];
    edges.rows.reserve(edges.rows.size() + reached.size());
    edges.cols.reserve(edges.cols.size() + reached.size());
    edges.num_sampled.back() += static_cast<std::int64_t>(reached.size());

    const std::vector<std::int64_t>& batches = tables_.nodes[destination].batches;
    LocalNodeTable& index = workspace_.local_index[source];
    std::size_t chosen = 0;
    std::int64_t column_ahead = frontier.begin;  // frontier node owning entry chosen + distance
    const auto record_until = [&](std::size_t end, std::int64_t column) {
        for (; chosen < end; ++chosen) {
            if (chosen + kSlotPrefetchDistance < reached.size()) {
                const std::size_t ahead = chosen + kSlotPrefetchDistance;
                while (node_ends[static_cast<std::size_t>(column_ahead - frontier.begin)] <= ahead) {
                    ++column_ahead;
                }
                index.prefetch(static_cast<std::uint32_t>(batches[static_cast<std::size_t>(column_ahead)]),
                               reached[ahead]);
            }
            // Read by index each time: recording grows the destination's
            // tables when source and destination types coincide.
            const std::int64_t batch = batches[static_cast<std::size_t>(column)];
            const std::int64_t local = record_node(source, batch, reached[chosen]);
            edges.rows.push_back(local);
            edges.cols.push_back(column);
        }
    };
    PacedTotal paced(pacer_, chosen);
    for (std::int64_t column = frontier.begin; column < frontier.end; ++column) {
        const std::size_t node_end = node_ends[static_cast<std::size_t>(column - frontier.begin)];
        // Checks fall between positions, also inside one node's long run.
        while (node_end >= paced.due()) {
            record_until(paced.due(), column);
            paced.at(chosen);
        }
        record_until(node_end, column);
    }
    paced.finish(chosen);
}

// Replaces every chosen position by the neighbour it names, in one pass whose
// row misses overlap. Positions come from the chooser, which checked them
// against row.
void HopExpansion::gather_neighbors(Int64Span row, std::vector<std::int64_t>& positions) {
    const std::size_t count = positions.size();
    pacer_.for_blocks(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + kRowPrefetchDistance < count) {
                __builtin_prefetch(row.data + positions[i + kRowPrefetchDistance]);
            }
            positions[i] = row[positions[i]];
        }
    });
}

std::int64_t HopExpansion::record_node(TypeId source, std::int64_t batch, std::int64_t node) {
    NodeTables& nodes = tables_.nodes[source];
    const std::size_t next = nodes.ids.size();
    if (next > LocalNodeTable::kMaxIndex) {
        errors::too_many_nodes("sampled nodes");
    }
    const auto [local, inserted] = workspace_.local_index[source].find_or_insert(
        static_cast<std::uint32_t>(batch), node, static_cast<std::uint32_t>(next));
    if (inserted) {
        nodes.batches.push_back(batch);
        nodes.ids.push_back(node);
    }
    return local;
}

void HopExpansion::advance_frontiers() {
    // In node_types order. A type listed again gets a count of 0 for the
    // extra listing but keeps its frontier: advancing it a second time would
    // leave it empty, and nodes reached this hop would never be expanded.
    // Type ids are numbered by first listing, so a listing is the first of
    // its type exactly when its id is the next one not yet seen.
    TypeId next_unseen = 0;
    for (std::size_t entry = 0; entry < store_.node_types().size(); ++entry) {
        const TypeId type = store_.type_of_entry(entry);
        if (type != next_unseen) {
            tables_.nodes[type].num_sampled.push_back(0);
            continue;
        }
        ++next_unseen;
        ExpansionWorkspace::Frontier& frontier = workspace_.frontier[type];
        const auto reached = static_cast<std::int64_t>(tables_.nodes[type].ids.size());
        frontier = {frontier.end, reached};
        tables_.nodes[type].num_sampled.push_back(reached - frontier.begin);
    }
}

}  // namespace vornlib
