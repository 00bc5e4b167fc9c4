#include "sampler/hop_expansion.h"

#include <algorithm>

#include "sampler/errors.h"

namespace vornlib {

void ExpansionWorkspace::start(std::size_t type_count) {
    local_index.resize(type_count);
    frontier.assign(type_count, Frontier{});
    for (LocalNodeTable& table : local_index) {
        table.reset();
    }
    seed_times.clear();
    positions.clear();
}

void HopExpansion::run() {
    plant_seeds();
    derive_seed_times();
    for (std::size_t hop = 0; hop < request_.num_hops; ++hop) {
        for (std::size_t entry = 0; entry < store_.edge_types().size(); ++entry) {
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
    for (std::int64_t i = 0; i < seeds.size; ++i) {
        // Batches are distinct, so seeds naming the same node never merge.
        const auto local = static_cast<std::uint32_t>(i);
        index.find_or_insert(local, seeds[i], local);
        nodes.batches.push_back(i);
        nodes.ids.push_back(seeds[i]);
    }
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
    for (std::int64_t i = 0; i < seeds.size; ++i) {
        if (!entity_time->contains(seeds[i])) {
            errors::seed_outside_node_time(store_.type_name(request_.entity_type), i, seeds[i],
                                           entity_time->size);
        }
        times.push_back((*entity_time)[seeds[i]]);
    }
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
    std::vector<std::int64_t>& positions = workspace_.positions;
    for (std::int64_t column = frontier.begin; column < frontier.end; ++column) {
        // Copies, not references: recording may grow these vectors when the
        // source and destination types coincide.
        const auto local = static_cast<std::size_t>(column);
        const std::int64_t batch = tables_.nodes[destination].batches[local];
        const std::int64_t node = tables_.nodes[destination].ids[local];
        const std::int64_t* seed_time = nullptr;
        if (with_time && static_cast<std::size_t>(batch) < seed_times.size()) {
            seed_time = &seed_times[static_cast<std::size_t>(batch)];
        }
        positions.clear();
        chooser_.choose_neighbors(edge, node, parameter, seed_time, positions);
        for (const std::int64_t position : positions) {
            record(key, source, column, batch, position);
        }
    }
}

void HopExpansion::record(KeyId key, TypeId source, std::int64_t column, std::int64_t batch,
                          std::int64_t position) {
    const std::int64_t neighbor = store_.row(key)[position];  // position checked by the chooser
    NodeTables& nodes = tables_.nodes[source];
    const std::size_t next = nodes.ids.size();
    if (next > LocalNodeTable::kMaxIndex) {
        errors::too_many_nodes("sampled nodes");
    }
    const auto [local, inserted] = workspace_.local_index[source].find_or_insert(
        static_cast<std::uint32_t>(batch), neighbor, static_cast<std::uint32_t>(next));
    if (inserted) {
        nodes.batches.push_back(batch);
        nodes.ids.push_back(neighbor);
    }
    EdgeTables& edges = tables_.edges[key];
    ++edges.num_sampled.back();
    edges.rows.push_back(local);
    edges.cols.push_back(column);
}

void HopExpansion::advance_frontiers() {
    // In node_types order: a type listed twice gets a second count of 0.
    for (std::size_t entry = 0; entry < store_.node_types().size(); ++entry) {
        const TypeId type = store_.type_of_entry(entry);
        ExpansionWorkspace::Frontier& frontier = workspace_.frontier[type];
        const auto reached = static_cast<std::int64_t>(tables_.nodes[type].ids.size());
        frontier = {frontier.end, reached};
        tables_.nodes[type].num_sampled.push_back(reached - frontier.begin);
    }
}

}  // namespace vornlib
