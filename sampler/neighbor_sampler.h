#pragma once

#include <cstdint>
#include <random>

#include "sampler/graph_store.h"
#include "sampler/hop_expansion.h"
#include "sampler/interrupt_check.h"
#include "sampler/neighbor_selection.h"
#include "sampler/sample_request.h"
#include "sampler/working_tables.h"

namespace vornlib {

// A temporal neighbour sampler over one heterogeneous graph: the graph store,
// the one random generator and the per-call working tables. Python-free; the
// binding layer validates requests and owns every array the store borrows.
class NeighborSampler {
public:
    // The generator is seeded last, with the seed taken modulo 2^32.
    NeighborSampler(GraphStore store, std::uint32_t seed);

    NeighborSampler(const NeighborSampler&) = delete;
    NeighborSampler& operator=(const NeighborSampler&) = delete;

    const GraphStore& store() const { return store_; }

    // Runs one validated call and leaves its result in working_tables(). The
    // call asks `interrupt` at every edge type of every hop and at coarse
    // intervals inside each frontier; whatever it throws aborts the call. On
    // failure the tables and the expansion buffers are emptied and their
    // memory released before the exception leaves; the generator keeps the
    // draws already made. On success the caller empties the tables with
    // clear_working_tables() once it has read them.
    void sample(const SampleRequest& request, WindowSource& windows, InterruptCheck& interrupt);

    const WorkingTables& working_tables() const { return tables_; }
    void clear_working_tables() { tables_.clear(); }

private:
    GraphStore store_;
    std::mt19937 generator_;
    NeighborChooser chooser_;
    ExpansionWorkspace workspace_;
    WorkingTables tables_;
};

}  // namespace vornlib
