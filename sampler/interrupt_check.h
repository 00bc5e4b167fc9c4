#pragma once

namespace vornlib {

// Asked by a running call, at coarse intervals, whether it must stop. The
// caller implements it; check() throws to abort the call, which then
// unwinds like any failed call.
class InterruptCheck {
public:
    virtual ~InterruptCheck() = default;
    virtual void check() = 0;
};

}  // namespace vornlib
