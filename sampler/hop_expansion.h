#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampler/frontier_selection.h"
#include "sampler/graph_store.h"
#include "sampler/interrupt_check.h"
#include "sampler/local_node_table.h"
#include "sampler/neighbor_selection.h"
#include "sampler/sample_request.h"
#include "sampler/working_tables.h"

namespace vornlib {

// Buffers that live across calls so a call allocates nothing per node.
struct ExpansionWorkspace {
    struct Frontier {
        std::int64_t begin = 0;
        std::int64_t end = 0;
    };
    std::vector<LocalNodeTable> local_index;  // per node type id
    std::vector<Frontier> frontier;           // per node type id
    std::vector<std::int64_t> seed_times;     // one per seed, or empty: no hop samples with time
    std::vector<std::int64_t> positions;      // one chunk's chosen row positions, then their neighbours
    std::vector<std::size_t> node_ends;       // per chunk node: end of its positions
    ScratchVector<std::uint64_t> pair_hashes;  // per chunk position: hash of its (batch, neighbour) pair
    std::vector<CandidateRun> runs;           // per chunk node, count mode without time

    // Empties every buffer for a call; clearing a large de-duplication table
    // looks for interrupts between pieces.
    void start(std::size_t type_count, InterruptCheck& interrupts);
    // Frees every buffer; the next start() builds them anew.
    void release() noexcept;
};

// One call's hop-by-hop expansion: plants the seeds, derives their times and
// expands every edge type of every hop in stored order, filling the tables.
// Each frontier is worked in chunks, chosen then recorded, so that scratch
// memory stays small and a pending interrupt is seen between chunks.
class HopExpansion {
public:
    HopExpansion(const GraphStore& store, const SampleRequest& request, WindowSource& windows,
                 InterruptCheck& interrupts, NeighborChooser& chooser, ExpansionWorkspace& workspace,
                 WorkingTables& tables)
        : store_(store), request_(request), windows_(windows), interrupts_(interrupts), chooser_(chooser),
          workspace_(workspace), tables_(tables) {}

    void run();

private:
    struct Chunk {
        std::int64_t begin;
        std::int64_t end;
    };

    void plant_seeds();
    void derive_seed_times();
    void expand_edge_type(std::size_t entry, std::size_t hop);
    HopParameter hop_parameter(KeyId key, std::size_t hop);
    std::size_t choose_chunk(const EdgeView& edge, Selection selection, const HopParameter& parameter,
                             TypeId destination, Chunk offered);
    void record_chunk(KeyId key, TypeId source, TypeId destination, Chunk chunk);
    static void gather_neighbors(Int64Span row, const std::int64_t* batches, const std::vector<std::size_t>& node_ends,
                                 std::vector<std::int64_t>& positions, ScratchVector<std::uint64_t>& pair_hashes,
                                 InterruptCheck& interrupts);
    static std::int64_t record_node(NodeTables& sources, LocalNodeTable& index, std::uint64_t pair_hash,
                                    std::int64_t batch, std::int64_t node);
    void advance_frontiers();

    const GraphStore& store_;
    const SampleRequest& request_;
    WindowSource& windows_;
    InterruptCheck& interrupts_;
    NeighborChooser& chooser_;
    ExpansionWorkspace& workspace_;
    WorkingTables& tables_;
};

}  // namespace vornlib
