#pragma once

#include <cstddef>
#include <cstdint>

#include "sampler/interrupt_check.h"

namespace vornlib {

// Spreads one call's interrupt checks over its work, so that a check comes
// at least every kInterval units whatever the shape of the graph. A unit is
// one chosen position (chosen, gathered or recorded); a frontier node counts
// kNodeUnits, as its selection costs up to a few dozen positions' work (a
// bisection over its neighbourhood). Measured on a 2-core machine, one
// interval takes at most a few milliseconds, and a check costs a few
// nanoseconds.
class WorkPacer {
public:
    static constexpr std::size_t kInterval = std::size_t{1} << 16;
    static constexpr std::size_t kNodeUnits = 16;

    explicit WorkPacer(InterruptCheck& check) : check_(check) {}

    // Checks now and starts a new interval (at hop and edge type boundaries).
    void check_now() {
        left_ = kInterval;
        check_.check();
    }
    // Counts work done; checks once the interval is used up.
    void spend(std::size_t units) {
        if (units >= left_) {
            check_now();
        } else {
            left_ -= units;
        }
    }
    // Units that can be done before the next check is due (at least 1), for
    // loops that must stop inside one node's long run of positions.
    std::size_t units_left() const { return left_; }

    // Runs body(begin, end) over [0, count) in blocks of one unit per index,
    // each ending where a check is due, so the loop inside body stays tight.
    template <typename Body>
    void for_blocks(std::size_t count, Body&& body) {
        for (std::size_t begin = 0; begin < count;) {
            const std::size_t end = count - begin < left_ ? count : begin + left_;
            body(begin, end);
            spend(end - begin);
            begin = end;
        }
    }

private:
    InterruptCheck& check_;
    std::size_t left_ = kInterval;
};

// Follows a loop's running total of work (any non-decreasing count, such as
// the number of positions so far) and spends it on the pacer only when a
// check is due: one compare per step in the loop itself.
class PacedTotal {
public:
    PacedTotal(WorkPacer& pacer, std::size_t total) : pacer_(pacer), spent_(total), due_(total + pacer.units_left()) {}

    // The total at which the next check is due; loops may stop there.
    std::size_t due() const { return due_; }
    // Reports the total so far; checks when it has reached due().
    void at(std::size_t total) {
        if (total >= due_) {
            spend(total);
            due_ = total + pacer_.units_left();
        }
    }
    // Reports the final total when the loop ends.
    void finish(std::size_t total) { spend(total); }

private:
    void spend(std::size_t total) {
        pacer_.spend(total - spent_);
        spent_ = total;
    }

    WorkPacer& pacer_;
    std::size_t spent_;
    std::size_t due_;
};

}  // namespace vornlib
