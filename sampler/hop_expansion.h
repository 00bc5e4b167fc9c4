#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampler/graph_store.h"
#include "sampler/interrupt_check.h"
#include "sampler/local_node_table.h"
#include "sampler/neighbor_selection.h"
#include "sampler/sample_request.h"
#include "sampler/untimed_frontier.h"
#include "sampler/work_pacer.h"
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
    std::vector<std::int64_t> seed_times;
    std::vector<std::int64_t> positions;  // one edge type's chosen row positions, then their neighbours
    std::vector<std::size_t> node_ends;    // per frontier node: end of its positions
    std::vector<CandidateRange> ranges;    // per frontier node, count mode without time

    void start(std::size_t type_count);
    // Frees every buffer; a failed call leaves nothing behind.
    void release();
};

// One call's hop-by-hop expansion: plants the seeds, derives their times and
// expands every edge type of every hop in stored order, filling the tables.
// Asks `interrupt` at every edge type (so at every hop boundary) and, through
// the pacer, at coarse intervals inside each frontier.
class HopExpansion {
public:
    HopExpansion(const GraphStore& store, const SampleRequest& request, WindowSource& windows,
                 NeighborChooser& chooser, ExpansionWorkspace& workspace, WorkingTables& tables,
                 InterruptCheck& interrupt)
        : store_(store), request_(request), windows_(windows), chooser_(chooser),
          workspace_(workspace), tables_(tables), pacer_(interrupt) {}

    void run();

private:
    void plant_seeds();
    void derive_seed_times();
    void expand_edge_type(std::size_t entry, std::size_t hop);
    HopParameter hop_parameter(KeyId key, std::size_t hop);
    void choose_frontier(const EdgeView& edge, TypeId destination, ExpansionWorkspace::Frontier frontier,
                         const HopParameter& parameter, bool with_time);
    void record_frontier(KeyId key, TypeId source, TypeId destination, ExpansionWorkspace::Frontier frontier);
    void gather_neighbors(Int64Span row, std::vector<std::int64_t>& positions);
    std::int64_t record_node(TypeId source, std::int64_t batch, std::int64_t node);
    void advance_frontiers();

    const GraphStore& store_;
    const SampleRequest& request_;
    WindowSource& windows_;
    NeighborChooser& chooser_;
    ExpansionWorkspace& workspace_;
    WorkingTables& tables_;
    WorkPacer pacer_;
};

}  // namespace vornlib
