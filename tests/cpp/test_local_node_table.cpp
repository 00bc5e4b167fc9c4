// The de-duplication table against a reference map, across growth and reuse.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "sampler/interrupt_check.h"
#include "sampler/local_node_table.h"

namespace vornlib {
namespace {

TEST(LocalNodeTable, MatchesAReferenceMapAcrossGrowthAndResets) {
    LocalNodeTable table;
    std::mt19937_64 random(5);
    for (int call = 0; call < 4; ++call) {
        table.reset();
        std::map<std::pair<std::uint32_t, std::int64_t>, std::uint32_t> reference;
        // Later calls are smaller, exercising the shrink path of reset().
        const int inserts = call == 0 ? 200000 : 3000;
        for (int i = 0; i < inserts; ++i) {
            const auto batch = static_cast<std::uint32_t>(random() % 64);
            // Extreme and colliding node values: the key is the exact pair.
            std::int64_t node = static_cast<std::int64_t>(random() % 5000) - 2500;
            if (i % 97 == 0) node = std::numeric_limits<std::int64_t>::min() + (i % 3);
            const auto next = static_cast<std::uint32_t>(reference.size());
            const auto [index, inserted] = table.find_or_insert(batch, node, next);
            const auto [it, fresh] = reference.emplace(std::make_pair(batch, node), next);
            ASSERT_EQ(inserted, fresh);
            ASSERT_EQ(index, it->second);
        }
        EXPECT_EQ(table.size(), reference.size());
    }
}

TEST(LocalNodeTable, HashesTakenBeforeGrowthStillFindTheirPairs) {
    // The record loop hashes pairs ahead of their lookups, and the table may
    // grow in between: a hash must not depend on the table's size.
    LocalNodeTable table;
    table.reset();
    std::vector<std::pair<std::uint32_t, std::int64_t>> pairs;
    for (std::uint32_t batch = 0; batch < 3; ++batch) {
        for (std::int64_t node = 0; node < 700; ++node) {
            pairs.emplace_back(batch, node * 7919);
        }
    }
    std::vector<std::uint64_t> hashes;
    for (const auto& [batch, node] : pairs) {
        hashes.push_back(LocalNodeTable::hash(batch, node));
    }
    for (int pass = 0; pass < 2; ++pass) {  // inserts, then finds every pair again
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            table.prefetch_hashed(hashes[(i + 8) % hashes.size()]);
            const auto next = static_cast<std::uint32_t>(table.size());
            const auto [index, inserted] = table.find_or_insert_hashed(hashes[i], pairs[i].first, pairs[i].second, next);
            ASSERT_EQ(index, i);
            ASSERT_EQ(inserted, pass == 0);
        }
    }
    EXPECT_EQ(table.find_or_insert(2, 699 * 7919, 0), std::make_pair(static_cast<std::uint32_t>(pairs.size() - 1), false));
}

TEST(LocalNodeTable, LikeCallsKeepTheRoomTheyAskForAndAHugeCallsRoomIsGivenBack) {
    // A call reserves room for every reached node to be new, though most
    // are seen before: the room asked for, not the entries made, must decide
    // what reset() keeps, or every call shrinks the table and regrows it.
    LocalNodeTable table;
    NeverInterrupt never;
    auto call_then_reset = [&](std::size_t room) {
        table.reserve(room, never);
        for (std::uint32_t batch = 0; batch < 100; ++batch) {
            table.find_or_insert(batch, 1, batch);
        }
        table.reset();
    };
    table.reset();
    call_then_reset(20000);
    const std::size_t steady = table.capacity();
    EXPECT_GE(steady, 20000u);
    for (int call = 0; call < 5; ++call) {
        call_then_reset(20000);
        ASSERT_EQ(table.capacity(), steady);
    }
    call_then_reset(2000000);
    EXPECT_GT(table.capacity(), steady);
    for (int call = 0; call < 8; ++call) {
        call_then_reset(20000);
    }
    EXPECT_EQ(table.capacity(), steady);
}

struct Stopped {};

// Throws at its stop-th check (never when stop is 0) and counts the checks.
class StopAt final : public InterruptCheck {
public:
    explicit StopAt(long stop = 0) : stop_(stop) {}
    void check() override {
        if (++checks == stop_) {
            throw Stopped{};
        }
    }
    long checks = 0;

private:
    long stop_;
};

// Node i of batch i % 7 under local index i, for i < count.
void fill(LocalNodeTable& table, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        ASSERT_TRUE(table.find_or_insert(i % 7, i, i).second);
    }
}

void expect_filled(LocalNodeTable& table, std::uint32_t count) {
    ASSERT_EQ(table.size(), count);
    for (std::uint32_t i = 0; i < count; i += 997) {
        ASSERT_EQ(table.find_or_insert(i % 7, i, 0), std::make_pair(i, false)) << i;
    }
}

TEST(LocalNodeTable, AMappedTableStoppedAtAnyCheckKeepsItsEntriesAndRecovers) {
    // 300,000 entries sit in a 16 MiB array; room for 1.2 million takes a
    // mapped 64 MiB one, faulted in, filled, and the old one freed in pieces.
    constexpr std::uint32_t kEntries = 300000;
    constexpr std::size_t kRoom = 1200000;
    long checks = 0;
    {
        LocalNodeTable table;
        fill(table, kEntries);
        StopAt counting;
        table.reserve(kRoom, counting);
        ASSERT_GE(table.capacity() * 16, LocalNodeTable::kMappedBytes);
        checks = counting.checks;
    }
    ASSERT_GE(checks, 8);  // pieces, not one long step
    for (long stop = 1; stop <= checks; ++stop) {
        LocalNodeTable table;
        fill(table, kEntries);
        StopAt stopping(stop);
        EXPECT_THROW(table.reserve(kRoom, stopping), Stopped) << stop;
        expect_filled(table, kEntries);  // the entries are all still there
        table.reset();
        fill(table, kEntries);  // and the table works as a fresh one
        expect_filled(table, kEntries);
    }
}

TEST(LocalNodeTable, AResetStoppedAtAnyCheckIsDoneAgainInFull) {
    constexpr std::uint32_t kEntries = 1100000;  // a mapped 64 MiB array, cleared in pieces
    long checks = 0;
    {
        LocalNodeTable table;
        fill(table, kEntries);
        StopAt counting;
        table.reset(counting);
        checks = counting.checks;
    }
    ASSERT_GE(checks, 2);
    for (long stop = 1; stop <= checks; ++stop) {
        LocalNodeTable table;
        fill(table, kEntries);
        StopAt stopping(stop);
        EXPECT_THROW(table.reset(stopping), Stopped) << stop;
        table.reset();
        EXPECT_EQ(table.size(), 0u);
        fill(table, 5000);  // every slot empty again: all of them insert afresh
        expect_filled(table, 5000);
    }
    // Calls much smaller than the first give its mapped array back, in pieces too.
    LocalNodeTable table;
    fill(table, kEntries);
    for (int call = 0; call < 12; ++call) {
        StopAt counting;
        table.reset(counting);
        fill(table, 10);
    }
    EXPECT_LT(table.capacity() * 16, LocalNodeTable::kMappedBytes);
}

TEST(LocalNodeTable, SameNodeInDifferentBatchesStaysApart) {
    LocalNodeTable table;
    table.reset();
    EXPECT_EQ(table.find_or_insert(0, 7, 0), std::make_pair(0u, true));
    EXPECT_EQ(table.find_or_insert(1, 7, 1), std::make_pair(1u, true));
    EXPECT_EQ(table.find_or_insert(0, 7, 2), std::make_pair(0u, false));
}

}  // namespace
}  // namespace vornlib
