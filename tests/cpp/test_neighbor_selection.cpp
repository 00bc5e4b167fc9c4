// Neighbour selection on plain spans: exact draws, time cut-offs, windows,
// the order check and the bounds checks that protect every read.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "sampler/neighbor_selection.h"

namespace vornlib {
namespace {

using Positions = std::vector<std::int64_t>;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

Int64Span span_of(const std::vector<std::int64_t>& values) {
    return Int64Span{values.data(), static_cast<std::int64_t>(values.size())};
}

// One destination node (node 0) whose candidates are source nodes 0..n-1 and
// whose timestamps, when given, are `times` in candidate order.
struct OneNode {
    explicit OneNode(std::vector<std::int64_t> candidate_times, std::int64_t count = -1)
        : times(std::move(candidate_times)) {
        const std::int64_t n = count >= 0 ? count : static_cast<std::int64_t>(times.size());
        colptr = {0, n};
        row.resize(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i) row[static_cast<std::size_t>(i)] = i;
        time_span = span_of(times);
    }
    EdgeView view(bool with_time) const {
        return EdgeView{"S__r__D", "S", span_of(colptr), span_of(row), with_time ? &time_span : nullptr};
    }
    std::vector<std::int64_t> times, colptr, row;
    Int64Span time_span;
};

Positions choose(NeighborChooser& chooser, const EdgeView& edge, const HopParameter& hop,
                 const std::int64_t* t, std::int64_t node = 0) {
    Positions out;
    chooser.choose_neighbors(edge, node, hop, t, out);
    return out;
}

TEST(Generator, SeededWith123GivesTheKnownFirstDraws) {
    std::mt19937 generator(123);
    EXPECT_EQ(generator(), 2991312382u);
    EXPECT_EQ(generator(), 3062119789u);
}

TEST(UniformSelection, FloydPicksOffsetsTwoThenFourForFiveCandidates) {
    std::mt19937 generator(123);
    NeighborChooser chooser(generator);
    OneNode node({}, 5);
    EXPECT_EQ(choose(chooser, node.view(false), HopParameter::count(2), nullptr), (Positions{2, 4}));
}

TEST(UniformSelection, RepeatedOffsetIsReplacedByJ) {
    // Find a seed whose second draw repeats the first offset: r2 must become 4.
    for (std::uint32_t seed = 0; seed < 1000; ++seed) {
        std::mt19937 probe(seed);
        const auto r1 = static_cast<std::int64_t>(probe() % 4);
        const auto r2 = static_cast<std::int64_t>(probe() % 5);
        if (r1 != r2) continue;
        std::mt19937 generator(seed);
        NeighborChooser chooser(generator);
        OneNode node({}, 5);
        EXPECT_EQ(choose(chooser, node.view(false), HopParameter::count(2), nullptr),
                  (Positions{r1, 4}));
        return;
    }
    FAIL() << "no seed with a repeated offset found";
}

class AllPositionsWithoutDraw : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(AllPositionsWithoutDraw, ReturnsAscendingAndLeavesGeneratorAlone) {
    std::mt19937 generator(123);
    NeighborChooser chooser(generator);
    OneNode node({}, 5);
    EXPECT_EQ(choose(chooser, node.view(false), HopParameter::count(GetParam()), nullptr),
              (Positions{0, 1, 2, 3, 4}));
    EXPECT_EQ(generator(), 2991312382u);
}

// Test names: a value as a name part ("max", "min", "minus1", "7"), and a
// list of them joined by "_".
std::string name_part(std::int64_t value) {
    if (value == kMax) return "max";
    if (value == kMin) return "min";
    return value < 0 ? "minus" + std::to_string(-value) : std::to_string(value);
}

std::string name_part(const std::vector<std::int64_t>& values) {
    std::string name;
    for (std::int64_t value : values) name += (name.empty() ? "" : "_") + name_part(value);
    return name.empty() ? "none" : name;
}

INSTANTIATE_TEST_SUITE_P(KAtLeastNOrNegative, AllPositionsWithoutDraw, ::testing::Values(5, 6, kMax, -1, kMin),
                         [](const ::testing::TestParamInfo<std::int64_t>& case_info) {
                             return "k_" + name_part(case_info.param);
                         });

TEST(UniformSelection, KZeroReadsNothingEvenForAnInvalidNode) {
    std::mt19937 generator(123);
    NeighborChooser chooser(generator);
    OneNode node({}, 5);
    EXPECT_TRUE(choose(chooser, node.view(false), HopParameter::count(0), nullptr, /*node=*/99).empty());
}

TEST(UniformSelection, HugeNeighbourhoodsDrawDistinctOffsetsInRange) {
    // Without time a count selection reads only colptr, never row, so a span
    // that merely claims n elements stands in for a huge row array here.
    for (std::int64_t n : {ChosenOffsets::kSparseThreshold - 1, ChosenOffsets::kSparseThreshold,
                           std::int64_t{50'000'000}}) {
        std::mt19937 generator(7);
        NeighborChooser chooser(generator);
        std::vector<std::int64_t> colptr{0, n};
        std::int64_t never_read = 0;
        EdgeView edge{"S__r__D", "S", span_of(colptr), Int64Span{&never_read, n}, nullptr};
        Positions out = choose(chooser, edge, HopParameter::count(10), nullptr);
        ASSERT_EQ(out.size(), 10u);
        for (std::int64_t p : out) {
            ASSERT_GE(p, 0);
            ASSERT_LT(p, n);
        }
        std::sort(out.begin(), out.end());
        EXPECT_EQ(std::adjacent_find(out.begin(), out.end()), out.end());
    }
}

TEST(UniformSelection, DenseAndSparseGiveIdenticalOutput) {
    // Replay the same seed through both representations of the chosen set by
    // running Floyd by hand with a plain std::set as the reference.
    const std::int64_t n = ChosenOffsets::kSparseThreshold + 5;
    for (std::int64_t k : {1, 2, 1000}) {
        std::mt19937 reference_gen(99);
        std::vector<bool> chosen(static_cast<std::size_t>(n), false);
        Positions expected;
        for (std::int64_t j = n - k; j < n; ++j) {
            auto r = static_cast<std::int64_t>(reference_gen() % static_cast<std::uint64_t>(j + 1));
            if (chosen[static_cast<std::size_t>(r)]) r = j;
            chosen[static_cast<std::size_t>(r)] = true;
            expected.push_back(r);
        }
        std::mt19937 generator(99);
        NeighborChooser chooser(generator);
        OneNode node({}, n);
        EXPECT_EQ(choose(chooser, node.view(false), HopParameter::count(k), nullptr), expected);
    }
}

struct LatestCase {
    std::vector<std::int64_t> times;
    std::int64_t t;
    std::int64_t k;
    Positions expected;
};

class LatestSelection : public ::testing::TestWithParam<LatestCase> {};

TEST_P(LatestSelection, TakesTheKLatestNotAfterTheSeedTime) {
    const LatestCase& c = GetParam();
    std::mt19937 generator(123);
    NeighborChooser chooser(generator);
    OneNode node(c.times);
    EXPECT_EQ(choose(chooser, node.view(true), HopParameter::count(c.k), &c.t), c.expected);
    EXPECT_EQ(generator(), 2991312382u);  // deterministic: no draw
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LatestSelection,
    ::testing::Values(LatestCase{{1, 3, 3, 5}, 3, 2, {1, 2}}, LatestCase{{1, 3, 3, 5}, 3, -1, {0, 1, 2}},
                      LatestCase{{1, 3, 3, 5}, 0, 2, {}}, LatestCase{{1, 3, 3, 5}, 9, 10, {0, 1, 2, 3}},
                      LatestCase{{1, 9, 2, 10}, 10, -1, {0, 1, 2, 3}},
                      LatestCase{{kMin, kMax}, kMax, 1, {1}}, LatestCase{{kMin, kMax}, kMin, 5, {0}}),
    [](const ::testing::TestParamInfo<LatestCase>& case_info) {
        const LatestCase& c = case_info.param;
        return "k_" + name_part(c.k) + "_at_" + name_part(c.t) + "_of_" + name_part(c.times);
    });

struct WindowCase {
    std::vector<std::int64_t> times;
    std::int64_t t;
    bool has_start;
    std::int64_t start;
    std::int64_t end;
    Positions expected;
};

class WindowSelection : public ::testing::TestWithParam<WindowCase> {};

TEST_P(WindowSelection, OpenAtTheStartClosedAtTheEnd) {
    const WindowCase& c = GetParam();
    std::mt19937 generator(123);
    NeighborChooser chooser(generator);
    OneNode node(c.times);
    EXPECT_EQ(choose(chooser, node.view(true), HopParameter::window(c.has_start, c.start, c.end), &c.t),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowSelection,
    ::testing::Values(WindowCase{{1, 3, 5, 7}, 4, true, -1, 1, {2}},
                      WindowCase{{1, 3, 5, 7}, 4, false, 0, 1, {0, 1, 2}},
                      WindowCase{{1, 3, 5, 7}, 4, true, 1, -1, {}},
                      // Sums beyond the int64 range behave as exact mathematical sums.
                      WindowCase{{kMin, 0, kMax}, kMax, true, kMax, kMax, {}},
                      WindowCase{{kMin, 0, kMax}, kMax, true, kMin, kMax, {1, 2}},
                      WindowCase{{kMin, 0, kMax}, kMin, true, kMin, kMin, {}},
                      WindowCase{{kMin, 0, kMax}, kMin, false, 0, kMax, {0}},
                      WindowCase{{kMin, 0, kMax}, 1, true, kMin, -1, {1}}),
    [](const ::testing::TestParamInfo<WindowCase>& case_info) {
        const WindowCase& c = case_info.param;
        return "from_" + (c.has_start ? name_part(c.start) : std::string("open")) + "_to_" + name_part(c.end) +
               "_at_" + name_part(c.t) + "_of_" + name_part(c.times);
    });

TEST(WindowSelection, WithoutTimeTakesNothing) {
    std::mt19937 generator(123);
    NeighborChooser chooser(generator);
    OneNode node({1, 2, 3});
    EXPECT_TRUE(choose(chooser, node.view(false), HopParameter::window(false, 0, 10), nullptr).empty());
}

TEST(OrderCheck, FirstAfterLastFailsOnlyWhenRead) {
    std::mt19937 generator(123);
    NeighborChooser chooser(generator);
    OneNode node({5, 1});
    const std::int64_t t = 10;
    try {
        choose(chooser, node.view(true), HopParameter::count(1), &t);
        FAIL() << "expected the order check to fail";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Found invalid non-sorted temporal neighborhood");
    }
    EXPECT_TRUE(choose(chooser, node.view(true), HopParameter::count(0), &t).empty());
    // Without time the order is never looked at.
    EXPECT_EQ(choose(chooser, node.view(false), HopParameter::count(-1), nullptr), (Positions{0, 1}));
}

std::string failure_of(const EdgeView& edge, std::int64_t node, const HopParameter& hop,
                       const std::int64_t* t) {
    std::mt19937 generator(123);
    NeighborChooser chooser(generator);
    Positions out;
    try {
        chooser.choose_neighbors(edge, node, hop, t, out);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

TEST(BoundsChecks, NodeOutsideColptrNamesTheEdgeTypeAndNode) {
    OneNode node({1, 2, 3});
    for (std::int64_t v : {std::int64_t{1}, std::int64_t{-1}, kMax, kMin}) {
        const std::string message = failure_of(node.view(false), v, HopParameter::count(2), nullptr);
        EXPECT_NE(message.find("'S__r__D'"), std::string::npos) << message;
        EXPECT_NE(message.find(std::to_string(v)), std::string::npos) << message;
    }
}

TEST(BoundsChecks, ColptrRangeOutsideRowFails) {
    std::vector<std::int64_t> row{0, 1};
    for (std::vector<std::int64_t> colptr : {std::vector<std::int64_t>{0, 3}, {-1, 1}, {kMin, kMax}}) {
        EdgeView edge{"S__r__D", "S", span_of(colptr), span_of(row), nullptr};
        const std::string message = failure_of(edge, 0, HopParameter::count(-1), nullptr);
        EXPECT_NE(message.find("out of range for 'row' of 'S__r__D'"), std::string::npos) << message;
    }
    // A decreasing range is empty, not an error.
    std::vector<std::int64_t> decreasing{5, 1};
    EdgeView edge{"S__r__D", "S", span_of(decreasing), span_of(row), nullptr};
    EXPECT_EQ(failure_of(edge, 0, HopParameter::count(-1), nullptr), "");
}

TEST(BoundsChecks, NeighbourWithoutTimestampFails) {
    std::vector<std::int64_t> colptr{0, 2}, row{0, 7}, times{1, 2};
    const Int64Span time_span = span_of(times);
    EdgeView edge{"S__r__D", "S", span_of(colptr), span_of(row), &time_span};
    const std::int64_t t = 5;
    const std::string message = failure_of(edge, 0, HopParameter::count(1), &t);
    EXPECT_NE(message.find("Node index 7"), std::string::npos) << message;
    EXPECT_NE(message.find("'node_time' of 'S'"), std::string::npos) << message;
}

}  // namespace
}  // namespace vornlib
