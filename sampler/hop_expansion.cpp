#include "sampler/hop_expansion.h"

#include <algorithm>

#include "sampler/errors.h"
#include "sampler/prefetch.h"

namespace vornlib {

namespace {

// How far ahead the loops ask for memory they will read: far enough to hide
// a cache miss behind the work on the nodes in between.
constexpr std::size_t kRowPrefetchDistance = 32;
constexpr std::size_t kSlotPrefetchDistance = 8;
// A chunk ends after the node that fills its budget, and one node may have
// hundreds of thousands of neighbours, each a cache miss to gather and to
// record: inside a chunk, a pending interrupt is also seen every this many.
constexpr std::size_t kCheckPositions = std::size_t{1} << 15;

// Chunks of a frontier: a chunk stops after the node that brings its chosen
// positions to kChunkPositions (scratch that stays in cache, and a short wait
// for an interrupt); the nodes offered to the next chunk adapt to what the
// last one took, between 1 and kMaxChunkNodes.
constexpr std::size_t kChunkPositions = std::size_t{1} << 15;
constexpr std::int64_t kFirstChunkNodes = 256;
constexpr std::int64_t kMaxChunkNodes = 4096;

std::int64_t next_chunk_nodes(std::int64_t nodes, std::size_t positions) {
    if (positions >= kChunkPositions) {
        return std::max<std::int64_t>(1, nodes);  // cut by the budget: offer what was taken
    }
    if (positions < kChunkPositions / 2) {
        return std::min(kMaxChunkNodes, nodes * 2);
    }
    return nodes;
}

// Room for extra more values, growing geometrically: chunks append to the
// same tables many times per call. True when the table moved (a copy of all
// of it, the one long step here).
bool reserve_more(Int64Table& table, std::size_t extra) {
    const std::size_t needed = table.size() + extra;
    if (needed <= table.capacity()) {
        return false;
    }
    table.reserve(std::max(needed, 2 * table.capacity()));
    return true;
}

}  // namespace

void ExpansionWorkspace::start(std::size_t type_count, InterruptCheck& interrupts) {
    local_index.resize(type_count);
    frontier.assign(type_count, Frontier{});
    for (LocalNodeTable& table : local_index) {
        table.reset(interrupts);
    }
    seed_times.clear();
    positions.clear();
    node_ends.clear();
    pair_hashes.clear();
}

void ExpansionWorkspace::release() noexcept { *this = ExpansionWorkspace{}; }

void HopExpansion::run() {
    plant_seeds();
    derive_seed_times();
    for (std::size_t hop = 0; hop < request_.num_hops; ++hop) {
        interrupts_.check();
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
    NodeTables& nodes = tables_.node(entity);
    LocalNodeTable& index = workspace_.local_index[entity];
    index.reserve(seeds.size_as_count(), interrupts_);
    nodes.batches.reserve(seeds.size_as_count());
    nodes.ids.reserve(seeds.size_as_count());
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

// Leaves one time per seed, or none when no hop of this call samples with time.
void HopExpansion::derive_seed_times() {
    if (!store_.has_node_time()) {
        return;  // no node type has timestamps; seed_time, if given, goes unused
    }
    const Int64Span seeds = request_.seed_node;
    std::vector<std::int64_t>& times = workspace_.seed_times;
    if (request_.seed_time.size > 0) {
        if (request_.seed_time.size != seeds.size) {
            errors::seed_size_mismatch();  // ruled out by the request checks
        }
        times.assign(request_.seed_time.data, request_.seed_time.data + request_.seed_time.size);
        return;
    }
    const Int64Span* entity_time = store_.node_time(request_.entity_type);
    if (entity_time == nullptr) {
        return;
    }
    times.reserve(seeds.size_as_count());
    for (std::int64_t i = 0; i < seeds.size; ++i) {
        if (!entity_time->contains(seeds[i])) {
            errors::seed_outside_node_time(store_.type_name(request_.entity_type), i, seeds[i],
                                           entity_time->size);
        }
        times.push_back((*entity_time)[seeds[i]]);
    }
}

HopParameter HopExpansion::hop_parameter(KeyId key, std::size_t hop) {
    const KeyRequest& given = request_.keys[key];
    if (given.mode == HopParameter::Mode::window) {
        return windows_.window_at(key, hop);
    }
    const auto index = static_cast<std::int64_t>(hop);
    return HopParameter::count(index < given.counts.size ? given.counts[index] : 0);
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
    tables_.edge(key).num_sampled.push_back(0);
    const HopParameter parameter = hop_parameter(key, hop);

    const Int64Span* source_time = store_.node_time(source);
    const bool timed = source_time != nullptr && !workspace_.seed_times.empty();
    const Selection selection = selection_of(parameter, timed);
    if (selection == Selection::none) {
        return;
    }
    const EdgeView edge{store_.key_name(key), store_.type_name(source), store_.colptr(key), store_.row(key),
                        timed ? source_time : nullptr};

    const ExpansionWorkspace::Frontier frontier = workspace_.frontier[destination];
    std::int64_t chunk_nodes = kFirstChunkNodes;
    for (std::int64_t begin = frontier.begin; begin < frontier.end;) {
        const Chunk offered{begin, std::min(frontier.end, begin + chunk_nodes)};
        const auto done = static_cast<std::int64_t>(choose_chunk(edge, selection, parameter, destination, offered));
        const Chunk chunk{begin, begin + done};
        record_chunk(key, source, destination, chunk);
        interrupts_.check();
        chunk_nodes = next_chunk_nodes(done, workspace_.positions.size());
        begin = chunk.end;
    }
}

// Choose phase of one chunk: the selection of the offered nodes, in
// local-index order (which fixes the order of random draws), until the
// chunk's positions reach their budget; returns the number of nodes done.
// The one place that picks the routine for a selection.
std::size_t HopExpansion::choose_chunk(const EdgeView& edge, Selection selection, const HopParameter& parameter,
                                       TypeId destination, Chunk offered) {
    // Taken afresh for every chunk: recording the previous chunk may have
    // grown the destination's tables (when source and destination coincide).
    const NodeTables& nodes = tables_.node(destination);
    const auto first = static_cast<std::size_t>(offered.begin);
    const FrontierNodes frontier{nodes.ids.data() + first, nodes.batches.data() + first,
                                 static_cast<std::size_t>(offered.end - offered.begin)};
    std::vector<std::int64_t>& positions = workspace_.positions;
    std::vector<std::size_t>& node_ends = workspace_.node_ends;
    positions.clear();
    node_ends.clear();
    node_ends.reserve(frontier.count);
    switch (selection) {
        case Selection::none:
            node_ends.assign(frontier.count, 0);
            return frontier.count;
        case Selection::uniform:
            return choose_uniform_frontier(chooser_, edge, parameter, frontier, workspace_.runs, positions,
                                           node_ends, kChunkPositions);
        case Selection::latest:
        case Selection::window:
            return choose_timed_frontier(chooser_, edge, parameter, frontier, workspace_.seed_times, positions,
                                         node_ends, kChunkPositions);
    }
    return frontier.count;
}

// Record phase of one chunk: one edge per chosen position and one
// de-duplication lookup per reached (batch, node) pair, in the order the
// positions were chosen.
void HopExpansion::record_chunk(KeyId key, TypeId source, TypeId destination, Chunk chunk) {
    std::vector<std::int64_t>& reached = workspace_.positions;
    const std::vector<std::size_t>& node_ends = workspace_.node_ends;
    const std::size_t count = reached.size();
    EdgeTables& edges = tables_.edge(key);
    edges.num_sampled.back() += static_cast<std::int64_t>(count);
    const std::size_t edges_before = edges.rows.size();
    // A pending interrupt is seen after each table that had to move.
    if (reserve_more(edges.rows, count)) {
        interrupts_.check();
    }
    if (reserve_more(edges.cols, count)) {
        interrupts_.check();
    }
    edges.rows.resize(edges_before + count);
    edges.cols.resize(edges_before + count);
    std::int64_t* const rows = edges.rows.data() + edges_before;
    std::int64_t* const cols = edges.cols.data() + edges_before;

    // Room for every reached node to be new, so that recording never moves
    // the node tables: the destination's batches stay where they are even
    // when the source type is the destination type.
    NodeTables& sources = tables_.node(source);
    if (reserve_more(sources.batches, count)) {
        interrupts_.check();
    }
    if (reserve_more(sources.ids, count)) {
        interrupts_.check();
    }
    const std::int64_t* const batches = tables_.node(destination).batches.data() + chunk.begin;
    ScratchVector<std::uint64_t>& pair_hashes = workspace_.pair_hashes;
    gather_neighbors(store_.row(key), batches, node_ends, reached, pair_hashes, interrupts_);

    LocalNodeTable& index = workspace_.local_index[source];
    // Grown here, where a long rehash can be interrupted, rather than inside a lookup.
    index.reserve(index.size() + reached.size(), interrupts_);
    std::size_t chosen = 0;
    for (std::size_t column = 0; column < node_ends.size(); ++column) {
        const std::int64_t batch = batches[column];
        const std::int64_t local_column = chunk.begin + static_cast<std::int64_t>(column);
        for (const std::size_t node_end = node_ends[column]; chosen < node_end; ++chosen) {
            if (chosen + kSlotPrefetchDistance < count) {
                index.prefetch_hashed(pair_hashes[chosen + kSlotPrefetchDistance]);
            }
            rows[chosen] = record_node(sources, index, pair_hashes[chosen], batch, reached[chosen]);
            cols[chosen] = local_column;
            if (chosen % kCheckPositions == kCheckPositions - 1) {
                interrupts_.check();
            }
        }
    }
}

// Replaces every chosen position by the neighbour it names, in one pass whose
// row misses overlap, and notes the hash of each (batch, neighbour) pair for
// the de-duplication lookup. Positions come from the chooser, which checked
// them against row; batches holds the batch of each chunk node.
void HopExpansion::gather_neighbors(Int64Span row, const std::int64_t* batches,
                                    const std::vector<std::size_t>& node_ends, std::vector<std::int64_t>& positions,
                                    ScratchVector<std::uint64_t>& pair_hashes, InterruptCheck& interrupts) {
    const std::size_t count = positions.size();
    pair_hashes.resize(count);
    std::size_t i = 0;
    for (std::size_t column = 0; column < node_ends.size(); ++column) {
        const auto batch = static_cast<std::uint32_t>(batches[column]);
        for (const std::size_t node_end = node_ends[column]; i < node_end; ++i) {
            if (i + kRowPrefetchDistance < count) {
                prefetch_line(row.data + positions[i + kRowPrefetchDistance]);
            }
            const std::int64_t neighbor = row[positions[i]];
            positions[i] = neighbor;
            pair_hashes[i] = LocalNodeTable::hash(batch, neighbor);
            if (i % kCheckPositions == kCheckPositions - 1) {
                interrupts.check();
            }
        }
    }
}

std::int64_t HopExpansion::record_node(NodeTables& sources, LocalNodeTable& index, std::uint64_t pair_hash,
                                       std::int64_t batch, std::int64_t node) {
    const std::size_t next = sources.ids.size();
    if (next > LocalNodeTable::kMaxIndex) {
        errors::too_many_nodes("sampled nodes");
    }
    const auto [local, inserted] = index.find_or_insert_hashed(pair_hash, static_cast<std::uint32_t>(batch), node,
                                                               static_cast<std::uint32_t>(next));
    if (inserted) {
        sources.batches.push_back(batch);
        sources.ids.push_back(node);
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
        NodeTables& nodes = tables_.node(type);
        if (type != next_unseen) {
            nodes.num_sampled.push_back(0);
            continue;
        }
        ++next_unseen;
        ExpansionWorkspace::Frontier& frontier = workspace_.frontier[type];
        const auto reached = static_cast<std::int64_t>(nodes.ids.size());
        frontier = {frontier.end, reached};
        nodes.num_sampled.push_back(reached - frontier.begin);
    }
}

}  // namespace vornlib
