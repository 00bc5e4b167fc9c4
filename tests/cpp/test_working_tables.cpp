// The working tables are started and emptied by one owner, however a call ends.

#include <gtest/gtest.h>

#include <stdexcept>

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

TEST(WorkingTables, AFailedCallGivesTheirStorageBackAndTheNextStartsAfresh) {
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
    EXPECT_TRUE(tables.nodes().empty());

    TablesInUse next(tables, 1, 1);
    EXPECT_EQ(tables.nodes()[0].num_sampled, Int64Table{0});
    EXPECT_TRUE(tables.nodes()[0].ids.empty());
    EXPECT_TRUE(tables.edges()[0].rows.empty());
}

}  // namespace
}  // namespace vornlib
