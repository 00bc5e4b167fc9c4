#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <random>
#include <utility>

#include "sampler/graph_store.h"
#include "sampler/hop_expansion.h"
#include "sampler/interrupt_check.h"
#include "sampler/neighbor_selection.h"
#include "sampler/sample_request.h"
#include "sampler/sampler_scratch.h"
#include "sampler/working_tables.h"

namespace vornlib {

// A temporal neighbour sampler over one heterogeneous graph: the graph store,
// the one random generator and the per-call scratch, which it takes from the
// ScratchPool when built and gives back when deleted (unless its last call
// failed). Python-free; the binding layer validates requests and owns every
// array the store borrows.
class NeighborSampler {
public:
    // The generator is seeded last, with the seed taken modulo 2^32.
    NeighborSampler(GraphStore store, std::uint32_t seed);

    ~NeighborSampler();
    NeighborSampler(const NeighborSampler&) = delete;
    NeighborSampler& operator=(const NeighborSampler&) = delete;

    const GraphStore& store() const { return store_; }
    // Empty between calls; for inspection only (a call hands its result to its reader).
    const WorkingTables& working_tables() const { return scratch_->tables; }

    // Runs one validated call and hands the finished working tables to
    // read(WorkingTables&), which may take the blocks of large tables
    // (Int64Table::hand_over). The tables are started here and emptied
    // before this returns or throws, so nothing of a call outlives it but the
    // generator's advanced state.
    //
    // A call that fails (or whose read fails) may have grown its scratch to
    // the limit of memory. Out of memory, it frees that at once. Otherwise
    // (an interrupt, an error in the data) it keeps it until the next call
    // starts, or the sampler goes: freeing gigabytes takes a tenth of a
    // second or more, which would stand between Ctrl+C and its exception.
    template <typename Read>
    void sample(const SampleRequest& request, WindowSource& windows, InterruptCheck& interrupts, Read&& read) {
        if (failed_) {
            release_scratch();
        }
        try {
            TablesInUse in_use(scratch_->tables, store_.type_count(), store_.key_count());
            expand(request, windows, interrupts);
            std::forward<Read>(read)(scratch_->tables);
        } catch (const std::bad_alloc&) {
            release_scratch();
            throw;
        } catch (...) {
            failed_ = true;
            throw;
        }
    }

private:
    void expand(const SampleRequest& request, WindowSource& windows, InterruptCheck& interrupts);
    void release_scratch() noexcept;

    GraphStore store_;
    std::mt19937 generator_;
    NeighborChooser chooser_;
    std::unique_ptr<SamplerScratch> scratch_;
    bool failed_ = false;  // the last call failed and kept its scratch
};

}  // namespace vornlib
