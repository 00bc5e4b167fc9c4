// The working tables are started and emptied by one owner, however a call ends.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "sampler/working_tables.h"

namespace vornlib {
namespace {

bool all_empty(const WorkingTables& tables) {
    for (const NodeTables& node : tables.nodes()) {
        if (!node.num_sampled.empty() || !node.batches.empty() || !node.ids.empty()) return false;
    }
    for (const EdgeTables& edge : tables.edges()) {
        if (!edge.num_sampled.empty() || !edge.rows.empty() || !edge.cols.empty()) return false;
    }
    return true;
}

TEST(WorkingTables, StartGivesEveryTypeALeadingZeroCount) {
    WorkingTables tables;
    TablesInUse in_use(tables, 2, 3);
    ASSERT_EQ(tables.nodes().size(), 2u);
    ASSERT_EQ(tables.edges().size(), 3u);
    for (const NodeTables& node : tables.nodes()) EXPECT_EQ(node.num_sampled, Int64Table{0});
    for (const EdgeTables& edge : tables.edges()) EXPECT_EQ(edge.num_sampled, Int64Table{0});
}

TEST(WorkingTables, AfterACallTheTablesAreEmptyAndKeepTheirStorage) {
    WorkingTables tables;
    {
        TablesInUse in_use(tables, 1, 1);
        tables.node(0).ids.assign(1000, 7);
        tables.edge(0).rows.push_back(3);
    }
    EXPECT_TRUE(all_empty(tables));
    EXPECT_GE(tables.nodes()[0].ids.capacity(), 1000u);
}

TEST(WorkingTables, AFailedCallEmptiesTheTablesAndTheNextStartsAfresh) {
    WorkingTables tables;
    EXPECT_THROW(
        {
            TablesInUse in_use(tables, 1, 1);
            tables.node(0).ids.assign(1000, 7);
            tables.edge(0).rows.push_back(3);
            throw std::runtime_error("failed mid-call");
        },
        std::runtime_error);
    EXPECT_TRUE(all_empty(tables));
    // The storage stays: whether a failed call's is freed is the sampler's choice.
    EXPECT_GE(tables.nodes()[0].ids.capacity(), 1000u);

    TablesInUse next(tables, 1, 1);
    EXPECT_EQ(tables.nodes()[0].num_sampled, Int64Table{0});
    EXPECT_TRUE(tables.nodes()[0].ids.empty());
    EXPECT_TRUE(tables.edges()[0].rows.empty());
}

// ---- one table: values across growth, hand-over and reuse -------------------

std::vector<std::int64_t> values_of(const Int64Table& table) { return {table.begin(), table.end()}; }

TEST(Int64Table, KeepsItsValuesAcrossGrowthCopiesAndMoves) {
    Int64Table table;
    std::vector<std::int64_t> expected;
    for (std::int64_t i = 0; i < 100000; ++i) {  // many doublings, some past glibc's mapping threshold
        table.push_back(i * 3 - 7);
        expected.push_back(i * 3 - 7);
    }
    const std::size_t kept = table.size();
    table.resize(kept + 5);  // uninitialised tail, written by the caller
    for (std::size_t i = kept; i < table.size(); ++i) {
        table[i] = -1;
        expected.push_back(-1);
    }
    table.reserve(4 * table.capacity());
    EXPECT_EQ(values_of(table), expected);

    const Int64Table copy = table;
    Int64Table moved = std::move(table);
    EXPECT_EQ(values_of(copy), expected);
    EXPECT_EQ(values_of(moved), expected);
    EXPECT_NE(copy.data(), moved.data());
    EXPECT_TRUE(table.empty());  // a moved-from table is empty
    table.push_back(4);
    EXPECT_EQ(table, Int64Table{4});
}

TEST(Int64Table, HandsOverItsBlockAndGrowsTheNextFromThePool) {
    StoragePool& pool = StoragePool::instance();
    pool.clear();
    Int64Table small{1, 2, 3};
    EXPECT_FALSE(small.handed_over());  // copied: a block that small is not worth a capsule

    Int64Table table;
    const std::size_t count = Int64Table::kHandOverBytes / sizeof(std::int64_t);
    for (std::size_t i = 0; i < count; ++i) {
        table.push_back(static_cast<std::int64_t>(i));
    }
    ASSERT_TRUE(table.handed_over());
    const std::size_t capacity = table.capacity();
    const TableBlock block = table.hand_over();
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.data(), nullptr);
    EXPECT_EQ(block.bytes, capacity * sizeof(std::int64_t));
    const auto* values = static_cast<const std::int64_t*>(block.data);
    EXPECT_EQ(values[0], 0);
    EXPECT_EQ(values[count - 1], static_cast<std::int64_t>(count - 1));

    // The owner of the block (a result array) is freed: the next growth of
    // the table reuses that memory rather than asking the system.
    pool.give(block);
    table.push_back(9);
    EXPECT_EQ(static_cast<void*>(table.data()), block.data);
    EXPECT_EQ(table.capacity(), capacity);
    EXPECT_EQ(table, Int64Table{9});
    EXPECT_EQ(pool.blocks(), 0u);
}

TEST(Int64Table, HandsOverNoMoreThanTwiceWhatItHolds) {
    // A table keeps the room of its largest call; a result of a small call
    // that takes the block must not keep all that room alive with it.
    StoragePool::instance().clear();
    Int64Table table;
    table.reserve(1 << 20);
    table.assign(1000, 5);
    const TableBlock block = table.hand_over();
    EXPECT_LE(block.bytes, 2 * 1000 * sizeof(std::int64_t));
    const auto* values = static_cast<const std::int64_t*>(block.data);
    EXPECT_EQ(values[0], 5);
    EXPECT_EQ(values[999], 5);
    table_memory::free(block.data);
}

// ---- the pool of freed blocks --------------------------------------------------

TableBlock new_block(std::size_t bytes) { return TableBlock{std::malloc(bytes), bytes}; }

TEST(Int64Table, AsksThePoolForTheRoomItHandedOverNotTheRoomItBorrowed) {
    // A table that took a larger call's block and handed over a shrunk one
    // must ask for a block its own size next: asking for the large one again
    // takes it from the table that needs it, which then grows by copying.
    StoragePool& pool = StoragePool::instance();
    pool.clear();
    constexpr std::size_t kLarge = std::size_t{1} << 16;
    Int64Table table;
    table.reserve(kLarge);
    table.assign(1000, 5);
    const TableBlock shrunk = table.hand_over();
    ASSERT_LE(shrunk.bytes, 2 * 1000 * sizeof(std::int64_t));
    pool.give(shrunk);
    const TableBlock large = new_block(kLarge * sizeof(std::int64_t));
    pool.give(large);

    table.push_back(1);
    EXPECT_EQ(static_cast<void*>(table.data()), shrunk.data);
    EXPECT_EQ(pool.take(kLarge * sizeof(std::int64_t), 0).data, large.data);  // left for whoever needs it
    table_memory::free(large.data);
    table.release();
    pool.clear();
}

TEST(StoragePool, StaysWithinItsBoundsDroppingTheOldestBlocks) {
    StoragePool& pool = StoragePool::instance();
    pool.clear();
    const std::size_t block_bytes = 4096;
    for (std::size_t i = 0; i < StoragePool::kMaxBlocks + 10; ++i) {
        pool.give(new_block(block_bytes + i));  // sizes tell the blocks apart
    }
    EXPECT_EQ(pool.blocks(), StoragePool::kMaxBlocks);
    // The ten given first were freed: the smallest left is the eleventh.
    const TableBlock smallest = pool.take(0, 0);
    EXPECT_EQ(smallest.bytes, block_bytes + 10);
    table_memory::free(smallest.data);  // taken blocks are the taker's to free

    pool.give(new_block(StoragePool::kMaxBytes - 1000));
    EXPECT_LE(pool.bytes(), StoragePool::kMaxBytes);
    EXPECT_EQ(pool.blocks(), 1u);  // room for the large block cost every older one
    pool.give(new_block(StoragePool::kMaxBytes + 1));  // alone above the bound: freed at once
    EXPECT_EQ(pool.blocks(), 1u);
    pool.clear();
    EXPECT_EQ(pool.bytes(), 0u);
}

TEST(StoragePool, GivesTheSmallestBlockThatFitsPreferringTheRoomAskedFor) {
    StoragePool& pool = StoragePool::instance();
    pool.clear();
    for (const std::size_t bytes : {1000u, 8000u, 4000u, 2000u}) {
        pool.give(new_block(bytes));
    }
    const TableBlock preferred = pool.take(1500, 3000);
    EXPECT_EQ(preferred.bytes, 4000u);  // the smallest of at least the preferred room
    const TableBlock fitting = pool.take(1500, 9000);
    EXPECT_EQ(fitting.bytes, 2000u);  // none that large: the smallest that fits
    table_memory::free(preferred.data);
    table_memory::free(fitting.data);
    EXPECT_EQ(pool.take(9000, 9000).data, nullptr);
    EXPECT_EQ(pool.blocks(), 2u);
    pool.clear();
}

}  // namespace
}  // namespace vornlib
