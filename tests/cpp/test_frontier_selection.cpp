// The whole-frontier selections must be indistinguishable from choosing node
// by node: same positions, same random draws, and on bad data the same error
// at the same node.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "sampler/timed_frontier.h"
#include "sampler/untimed_frontier.h"

namespace vornlib {
namespace {

struct Outcome {
    std::vector<std::int64_t> positions;
    std::vector<std::size_t> node_ends;
    std::string error;
};

struct RandomCase {
    std::vector<std::int64_t> colptr, row, times, ids, batches, seed_times;
    HopParameter hop;
};

RandomCase make_case(std::mt19937_64& random, bool hostile) {
    RandomCase c;
    const auto pick = [&](std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(random);
    };
    const std::int64_t sources = pick(1, 40);
    const std::int64_t destinations = pick(1, 30);
    for (std::int64_t s = 0; s < sources; ++s) c.times.push_back(pick(0, 100));
    c.colptr.push_back(0);
    for (std::int64_t d = 0; d < destinations; ++d) {
        const std::int64_t degree = pick(0, 3) == 0 ? pick(0, 200) : pick(0, 6);
        std::vector<std::int64_t> neighbours;
        for (std::int64_t e = 0; e < degree; ++e) neighbours.push_back(pick(0, sources - 1));
        if (!hostile || pick(0, 4) != 0) {
            std::sort(neighbours.begin(), neighbours.end(),
                      [&](std::int64_t a, std::int64_t b) { return c.times[size_t(a)] < c.times[size_t(b)]; });
        }
        c.row.insert(c.row.end(), neighbours.begin(), neighbours.end());
        c.colptr.push_back(static_cast<std::int64_t>(c.row.size()));
    }
    if (hostile) {
        if (pick(0, 3) == 0 && !c.row.empty()) c.row[size_t(pick(0, std::int64_t(c.row.size()) - 1))] = pick(-5, 60);
        if (pick(0, 3) == 0) c.colptr[size_t(pick(0, destinations))] = pick(-3, std::int64_t(c.row.size()) + 3);
    }
    const std::int64_t seeds = pick(1, 8);
    for (std::int64_t s = 0; s < seeds; ++s) c.seed_times.push_back(pick(-10, 110));
    const std::int64_t frontier = pick(0, 70);
    for (std::int64_t i = 0; i < frontier; ++i) {
        c.ids.push_back(hostile && pick(0, 20) == 0 ? pick(-2, destinations + 2) : pick(0, destinations - 1));
        c.batches.push_back(pick(0, seeds - 1));
    }
    if (pick(0, 1) == 0) {
        c.hop = HopParameter::count(pick(-1, 12));
    } else {
        const bool extreme = pick(0, 5) == 0;
        const std::int64_t big = std::numeric_limits<std::int64_t>::max();
        c.hop = HopParameter::window(pick(0, 3) != 0, extreme ? -big : pick(-60, 10), extreme ? big : pick(-20, 60));
    }
    return c;
}

class NeverStop final : public InterruptCheck {
public:
    void check() override {}
};

Int64Span span_of(const std::vector<std::int64_t>& values) {
    return {values.data(), static_cast<std::int64_t>(values.size())};
}

template <typename Choose>
Outcome run(Choose&& choose) {
    Outcome outcome;
    try {
        choose(outcome.positions, outcome.node_ends);
    } catch (const std::runtime_error& error) {
        outcome.error = error.what();
    }
    return outcome;
}

TEST(TimedFrontier, AgreesWithNodeByNodeSelection) {
    std::mt19937_64 random(2024);
    int errors_seen = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        const RandomCase c = make_case(random, iteration % 2 == 1);
        const Int64Span times = span_of(c.times);
        const EdgeView edge{"S__r__D", "S", span_of(c.colptr), span_of(c.row), &times};
        std::mt19937 generator(1);
        NeighborChooser chooser(generator);

        const Outcome expected = run([&](auto& positions, auto& node_ends) {
            for (std::size_t i = 0; i < c.ids.size(); ++i) {
                chooser.choose_neighbors(edge, c.ids[i], c.hop, &c.seed_times[size_t(c.batches[i])], positions);
                node_ends.push_back(positions.size());
            }
        });
        const Outcome actual = run([&](auto& positions, auto& node_ends) {
            const FrontierNodes nodes{c.ids.data(), c.batches.data(), c.ids.size()};
            NeverStop never;
            WorkPacer pacer(never);
            choose_timed_frontier(chooser, edge, c.hop, nodes, c.seed_times, positions, node_ends, pacer);
        });
        ASSERT_EQ(actual.error, expected.error) << "iteration " << iteration;
        if (expected.error.empty()) {  // after an error the call is abandoned
            ASSERT_EQ(actual.positions, expected.positions) << "iteration " << iteration;
            ASSERT_EQ(actual.node_ends, expected.node_ends) << "iteration " << iteration;
        }
        errors_seen += expected.error.empty() ? 0 : 1;
    }
    EXPECT_GT(errors_seen, 100);  // the hostile half really exercises the redo path
}

TEST(UntimedFrontier, AgreesWithNodeByNodeSelection) {
    std::mt19937_64 random(7);
    int errors_seen = 0;
    std::vector<CandidateRange> ranges;  // reused across cases, as across calls
    for (int iteration = 0; iteration < 4000; ++iteration) {
        RandomCase c = make_case(random, iteration % 2 == 1);
        if (c.hop.mode == HopParameter::Mode::window || c.hop.k == 0) {
            c.hop = HopParameter::count(1 + iteration % 12);
        }
        const EdgeView edge{"S__r__D", "S", span_of(c.colptr), span_of(c.row), nullptr};
        std::mt19937 expected_generator(static_cast<std::uint32_t>(iteration));
        std::mt19937 actual_generator(static_cast<std::uint32_t>(iteration));
        NeighborChooser expected_chooser(expected_generator);
        NeighborChooser actual_chooser(actual_generator);

        const Outcome expected = run([&](auto& positions, auto& node_ends) {
            for (const std::int64_t id : c.ids) {
                expected_chooser.choose_neighbors(edge, id, c.hop, nullptr, positions);
                node_ends.push_back(positions.size());
            }
        });
        const Outcome actual = run([&](auto& positions, auto& node_ends) {
            const FrontierNodes nodes{c.ids.data(), c.batches.data(), c.ids.size()};
            NeverStop never;
            WorkPacer pacer(never);
            choose_untimed_frontier(actual_chooser, edge, c.hop, nodes, ranges, positions, node_ends, pacer);
        });
        ASSERT_EQ(actual.error, expected.error) << "iteration " << iteration;
        // The generator carries over to the next call, failed or not.
        ASSERT_TRUE(actual_generator == expected_generator) << "iteration " << iteration;
        if (expected.error.empty()) {
            ASSERT_EQ(actual.positions, expected.positions) << "iteration " << iteration;
            ASSERT_EQ(actual.node_ends, expected.node_ends) << "iteration " << iteration;
        }
        errors_seen += expected.error.empty() ? 0 : 1;
    }
    EXPECT_GT(errors_seen, 100);
}

}  // namespace
}  // namespace vornlib
