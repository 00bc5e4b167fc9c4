// A call that fails part-way (out of memory, or stopped by its interrupt
// check) must leave no trace but the random draws it made: no stale
// "already chosen" marks, no filled working tables, and every later call
// equal to one on a sampler that never failed. The same holds for a sampler
// built on the scratch a deleted one left, which must also spare most of
// what a new sampler allocates.
//
// Allocation failures are injected by replacing the global allocation
// functions of this test program, and through the working tables' own
// allocation hook: armed, the n-th allocation of either kind from then on
// throws std::bad_alloc.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "sampler/interrupt_check.h"
#include "sampler/neighbor_sampler.h"
#include "sampler/neighbor_selection.h"
#include "sampler/sampler_scratch.h"
#include "sampler/table_storage.h"

namespace {

long allocations_until_failure = -1;  // -1: never fail
long allocations_made = 0;

// Counts an allocation; true when it is the one armed to fail.
bool next_allocation_fails() {
    ++allocations_made;
    if (allocations_until_failure == 0) {
        allocations_until_failure = -1;
        return true;
    }
    if (allocations_until_failure > 0) {
        --allocations_until_failure;
    }
    return false;
}

// The tables' blocks are counted (and failed) with every other allocation.
const bool tables_counted = (vornlib::table_memory::set_fault(next_allocation_fails), true);

void* allocate(std::size_t size) {
    if (next_allocation_fails()) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

// Makes the allocation after `successes` more fail, until it has failed or
// the scope ends.
class FailingAllocation {
public:
    explicit FailingAllocation(long successes) { allocations_until_failure = successes; }
    ~FailingAllocation() { allocations_until_failure = -1; }
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;
};

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace vornlib {
namespace {

using Positions = std::vector<std::int64_t>;

Int64Span span_of(const std::vector<std::int64_t>& values) {
    return Int64Span{values.data(), static_cast<std::int64_t>(values.size())};
}

// ---- Floyd selection after a failed one ------------------------------------

// Node 0 with n candidates 0 .. n-1, sampled without time.
struct Neighbourhood {
    explicit Neighbourhood(std::int64_t n) : colptr{0, n}, row(static_cast<std::size_t>(n)) {}
    EdgeView view() const { return EdgeView{"S__r__D", "S", span_of(colptr), span_of(row), nullptr}; }
    std::vector<std::int64_t> colptr;
    std::vector<std::int64_t> row;
};

// Fails the selection at every allocation it makes in turn (the chosen set's
// storage, its record of marks, the growing output), then checks that the
// next selections equal those of a fresh chooser on the same generator state.
void expect_recovery_at_every_allocation(std::int64_t n, std::int64_t k) {
    const Neighbourhood graph(n);
    const EdgeView edge = graph.view();
    const HopParameter hop = HopParameter::count(k);
    int failures_mid_selection = 0;
    for (long successes = 0;; ++successes) {
        std::mt19937 generator(99);
        NeighborChooser chooser(generator);
        Positions out;
        bool failed = false;
        {
            FailingAllocation failing(successes);
            try {
                chooser.choose_neighbors(edge, 0, hop, nullptr, out);
            } catch (const std::bad_alloc&) {
                failed = true;
            }
        }
        if (!failed) {
            break;  // every allocation of the selection has been failed once
        }
        failures_mid_selection += generator == std::mt19937(99) ? 0 : 1;

        std::mt19937 same_state = generator;
        NeighborChooser fresh(same_state);
        for (int selection = 0; selection < 3; ++selection) {
            Positions after, expected;
            chooser.choose_neighbors(edge, 0, hop, nullptr, after);
            fresh.choose_neighbors(edge, 0, hop, nullptr, expected);
            ASSERT_EQ(after, expected) << "allocation " << successes << " failed, selection " << selection;
        }
    }
    EXPECT_GT(failures_mid_selection, 3);  // failures really came between draws
}

TEST(FailedSelection, LeavesNoMarksInTheByteSet) { expect_recovery_at_every_allocation(2000, 1500); }

TEST(FailedSelection, LeavesNoMarksInTheHashedSet) {
    expect_recovery_at_every_allocation(ChosenOffsets::kSparseThreshold + 5, 700);
}

// ---- a working table that cannot grow --------------------------------------

TEST(FailedGrowth, LeavesTheTableAsItWas) {
    StoragePool::instance().clear();  // nothing to take: growth must ask for memory
    Int64Table table;
    for (std::int64_t i = 0; i < 1000; ++i) {
        table.push_back(i);
    }
    const Int64Table before = table;
    const std::size_t capacity = table.capacity();
    {
        FailingAllocation failing(0);
        EXPECT_THROW(table.reserve(4 * capacity), std::bad_alloc);
    }
    EXPECT_EQ(table, before);
    EXPECT_EQ(table.capacity(), capacity);
    table.push_back(1000);  // and it grows later as usual
    EXPECT_EQ(table.size(), 1001u);
}

// ---- whole calls: interrupted or out of memory -----------------------------

// Users (timed) follow users; items (untimed) are bought by users and drawn
// at random. User u follows users u-8 .. u-1 (oldest first) and bought 6 of
// 40 items.
struct Graph {
    static constexpr std::int64_t kUsers = 20000;
    static constexpr std::int64_t kItems = 40;

    Graph() {
        follows_colptr.push_back(0);
        bought_colptr.push_back(0);
        for (std::int64_t user = 0; user < kUsers; ++user) {
            user_time.push_back(user);
            for (std::int64_t followed = std::max<std::int64_t>(0, user - 8); followed < user; ++followed) {
                follows_row.push_back(followed);
            }
            for (std::int64_t item = 0; item < 6; ++item) {
                bought_row.push_back((user * 7 + item * 5) % kItems);
            }
            follows_colptr.push_back(static_cast<std::int64_t>(follows_row.size()));
            bought_colptr.push_back(static_cast<std::int64_t>(bought_row.size()));
        }
    }

    // A sampler starts with empty pools of table blocks and of scratch, unless
    // asked otherwise: the tests count a call's allocations, and what an
    // earlier sampler left would spare some.
    NeighborSampler sampler(bool empty_pools = true) const {
        if (empty_pools) {
            StoragePool::instance().clear();
            ScratchPool::instance().clear();
        }
        return NeighborSampler(store(), 5);
    }

    GraphStore store() const {
        GraphStore store({"U", "I"}, {{"U", "f", "U"}, {"I", "b", "U"}});
        store.set_adjacency(0, span_of(follows_colptr), span_of(follows_row));
        store.set_adjacency(1, span_of(bought_colptr), span_of(bought_row));
        store.set_node_time(0, span_of(user_time));
        store.set_has_node_time(true);
        return store;
    }

    std::vector<std::int64_t> follows_colptr, follows_row, bought_colptr, bought_row, user_time;
};

// Counts in place for each edge type key, and the seeds.
struct Request {
    Request(std::vector<std::int64_t> follows, std::vector<std::int64_t> bought, std::int64_t seeds)
        : follows_counts(std::move(follows)), bought_counts(std::move(bought)) {
        for (std::int64_t i = 0; i < seeds; ++i) {
            seed_nodes.push_back((i * 7919) % Graph::kUsers);
            seed_times.push_back(Graph::kUsers);
        }
        request.entity_type = 0;
        request.seed_node = span_of(seed_nodes);
        request.seed_time = span_of(seed_times);
        request.keys = {KeyRequest{HopParameter::Mode::count, span_of(follows_counts)},
                        KeyRequest{HopParameter::Mode::count, span_of(bought_counts)}};
        request.num_hops = std::max(follows_counts.size(), bought_counts.size());
    }
    std::vector<std::int64_t> follows_counts, bought_counts, seed_nodes, seed_times;
    SampleRequest request;
};

class NoWindows final : public WindowSource {
public:
    HopParameter window_at(KeyId, std::size_t) override { throw std::logic_error("no window in these calls"); }
};

struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

// Throws at its stop-th check (never when stop is 0) and counts the checks.
class StopAt final : public InterruptCheck {
public:
    explicit StopAt(long stop = 0) : stop_(stop) {}
    void check() override {
        if (++checks == stop_) {
            throw Interrupted();
        }
    }
    long checks = 0;

private:
    long stop_;
};

std::vector<Int64Table> contents(const WorkingTables& tables) {
    std::vector<Int64Table> all;
    for (const NodeTables& node : tables.nodes()) {
        all.insert(all.end(), {node.num_sampled, node.batches, node.ids});
    }
    for (const EdgeTables& edge : tables.edges()) {
        all.insert(all.end(), {edge.num_sampled, edge.rows, edge.cols});
    }
    return all;
}

bool empty(const WorkingTables& tables) {
    for (const Int64Table& table : contents(tables)) {
        if (!table.empty()) {
            return false;
        }
    }
    return true;
}

void ignore_result(const WorkingTables&) {}

std::vector<Int64Table> run(NeighborSampler& sampler, const Request& request) {
    NoWindows windows;
    StopAt never;
    std::vector<Int64Table> result;
    sampler.sample(request.request, windows, never, [&](const WorkingTables& tables) { result = contents(tables); });
    return result;
}

// Draws from the generator (items), then a long call that draws nothing
// (users only, every neighbour for four hops) fails somewhere; the drawing
// call after it must equal the one a sampler without the failure makes.
class FailedCall : public ::testing::Test {
protected:
    const Graph graph;
    const Request drawing{{1}, {2, 2}, 300};
    const Request long_call{{-1, -1, -1, -1}, {0}, 2000};
    const Request short_call{{-1, -1, -1}, {0}, 100};

    // The drawing call and then the failed call, as a sampler that never
    // failed makes them after the same history; the same for every failure.
    struct Expected {
        std::vector<Int64Table> drawing;
        std::vector<Int64Table> again;
    };
    template <typename History>
    Expected expected_after(History&& history, const Request& failed_call) const {
        NeighborSampler reference = graph.sampler();
        history(reference);
        Expected expected;
        expected.drawing = run(reference, drawing);
        expected.again = run(reference, failed_call);
        return expected;
    }

    void expect_exact_recovery(NeighborSampler& failed, const Request& failed_call, const Expected& expected,
                               const std::string& what) {
        EXPECT_TRUE(empty(failed.working_tables())) << what;
        ASSERT_EQ(run(failed, drawing), expected.drawing) << what;
        ASSERT_EQ(run(failed, failed_call), expected.again) << what;
    }
};

TEST_F(FailedCall, InterruptedAtAnyCheckInsideFrontiersLeavesTheSamplerExact) {
    long total_checks = 0;
    {
        NeighborSampler sampler = graph.sampler();
        NoWindows windows;
        StopAt counting;
        sampler.sample(long_call.request, windows, counting, ignore_result);
        total_checks = counting.checks;
    }
    // Checks come inside frontiers, not only at hop boundaries: 4 hops x 2
    // edge types give 8 boundary checks. Each seed reaches 8 new users per
    // hop, so hops 2 to 4 each choose for 16,000 users and record 128,000
    // edges: about 10 intervals of work per hop.
    EXPECT_GT(total_checks, 8 + 20);
    const auto one_drawing_call = [&](NeighborSampler& sampler) { run(sampler, drawing); };
    const Expected expected = expected_after(one_drawing_call, long_call);
    for (const long stop : {1L, 9L, total_checks / 2, total_checks}) {
        NeighborSampler sampler = graph.sampler();
        one_drawing_call(sampler);
        NoWindows windows;
        StopAt stopping(stop);
        EXPECT_THROW(sampler.sample(long_call.request, windows, stopping, ignore_result), Interrupted) << "check " << stop;
        expect_exact_recovery(sampler, long_call, expected, "interrupted at check " + std::to_string(stop));
    }
}

std::size_t storage(const WorkingTables& tables) {
    std::size_t values = 0;
    for (const NodeTables& node : tables.nodes()) {
        values += node.num_sampled.capacity() + node.batches.capacity() + node.ids.capacity();
    }
    for (const EdgeTables& edge : tables.edges()) {
        values += edge.num_sampled.capacity() + edge.rows.capacity() + edge.cols.capacity();
    }
    return values;
}

TEST_F(FailedCall, KeepsItsStorageUntilTheNextCallUnlessOutOfMemory) {
    // Freeing what a huge call grew takes long enough to delay the
    // exception of an interrupt, so an interrupted call keeps it...
    NeighborSampler interrupted = graph.sampler();
    NoWindows windows;
    StopAt stopping(20);
    EXPECT_THROW(interrupted.sample(long_call.request, windows, stopping, ignore_result), Interrupted);
    EXPECT_TRUE(empty(interrupted.working_tables()));
    EXPECT_GT(storage(interrupted.working_tables()), 100000u);
    // ...while memory that ran out is given back at once.
    NeighborSampler starved = graph.sampler();
    run(starved, short_call);  // the long call must grow what this one left
    {
        FailingAllocation failing(0);
        StopAt never;
        EXPECT_THROW(starved.sample(long_call.request, windows, never, ignore_result), std::bad_alloc);
    }
    EXPECT_EQ(storage(starved.working_tables()), 0u);
}

TEST_F(FailedCall, OutOfMemoryAtEveryAllocationLeavesTheSamplerExact) {
    // On a new sampler the call allocates everything, starting with the
    // tables; after an earlier call it reuses their storage and allocates
    // only to grow it.
    for (const bool after_a_call : {false, true}) {
        const auto prepare = [&](NeighborSampler& sampler) {
            if (after_a_call) {
                run(sampler, drawing);
            }
        };
        NoWindows windows;
        StopAt never;
        long call_allocations = 0;
        {
            NeighborSampler sampler = graph.sampler();
            prepare(sampler);
            const long before = allocations_made;
            sampler.sample(short_call.request, windows, never, ignore_result);
            call_allocations = allocations_made - before;
        }
        EXPECT_GT(call_allocations, 10);
        // The same history without the failure, then the same calls.
        const Expected expected = expected_after(prepare, short_call);
        for (long successes = 0; successes < call_allocations; ++successes) {
            NeighborSampler sampler = graph.sampler();
            prepare(sampler);
            bool failed = false;
            {
                FailingAllocation failing(successes);
                try {
                    sampler.sample(short_call.request, windows, never, ignore_result);
                } catch (const std::bad_alloc&) {
                    failed = true;
                }
            }
            ASSERT_TRUE(failed) << "allocation " << successes << " failed silently";
            expect_exact_recovery(sampler, short_call, expected,
                                  "allocation " + std::to_string(successes) + " failed");
        }
    }
}

// ---- scratch handed from deleted samplers to new ones ----------------------

class PooledScratch : public FailedCall {};

TEST_F(PooledScratch, ANewSamplerOnAnotherOnesScratchDrawsExactly) {
    std::vector<std::vector<Int64Table>> expected;
    {
        NeighborSampler reference = graph.sampler();
        expected = {run(reference, drawing), run(reference, short_call), run(reference, drawing)};
    }
    for (const Request* left_behind : {&long_call, &drawing}) {
        {
            NeighborSampler earlier = graph.sampler();
            run(earlier, *left_behind);  // its scratch, large or small, goes to the pool
        }
        ASSERT_EQ(ScratchPool::instance().size(), 1u);
        NeighborSampler pooled = graph.sampler(false);
        EXPECT_EQ(ScratchPool::instance().size(), 0u);  // taken
        EXPECT_EQ(run(pooled, drawing), expected[0]);
        EXPECT_EQ(run(pooled, short_call), expected[1]);
        EXPECT_EQ(run(pooled, drawing), expected[2]);
    }
}

TEST_F(PooledScratch, SparesMostOfANewSamplersAllocations) {
    NoWindows windows;
    StopAt never;
    const auto calls = [&](NeighborSampler& sampler) {
        const long before = allocations_made;
        sampler.sample(drawing.request, windows, never, ignore_result);
        sampler.sample(short_call.request, windows, never, ignore_result);
        return allocations_made - before;
    };
    long fresh = 0;
    {
        NeighborSampler first = graph.sampler();
        fresh = calls(first);
    }
    NeighborSampler second = graph.sampler(false);
    const long pooled = calls(second);
    EXPECT_GT(fresh, 40);
    EXPECT_LT(4 * pooled, fresh) << "fresh " << fresh << ", pooled " << pooled;
}

TEST_F(PooledScratch, AFailedSamplerGivesNothingBackAndThePoolStaysBounded) {
    {
        NeighborSampler interrupted = graph.sampler();
        NoWindows windows;
        StopAt stopping(20);
        EXPECT_THROW(interrupted.sample(long_call.request, windows, stopping, ignore_result), Interrupted);
    }
    EXPECT_EQ(ScratchPool::instance().size(), 0u);  // what it grew may be huge: freed with it

    std::vector<std::unique_ptr<NeighborSampler>> alive;
    for (std::size_t i = 0; i < ScratchPool::kMaxScratches + 3; ++i) {
        alive.push_back(std::make_unique<NeighborSampler>(graph.store(), 5));
        run(*alive.back(), drawing);
    }
    alive.clear();
    EXPECT_EQ(ScratchPool::instance().size(), ScratchPool::kMaxScratches);
    EXPECT_LE(ScratchPool::instance().bytes(), ScratchPool::kMaxBytes);
}

}  // namespace
}  // namespace vornlib
