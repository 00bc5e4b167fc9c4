#pragma once

namespace vornlib {

// Asks for the cache line holding `address` ahead of a read; every prefetch
// in the sampler goes through here. GCC takes a function whose only effect
// is __builtin_prefetch for one without side effects and deletes calls to it
// before inlining (it had deleted every colptr prefetch); the empty volatile
// asm emits nothing but is an effect that it must keep.
inline void prefetch_line(const void* address) {
    __builtin_prefetch(address);
    asm volatile("");
}

}  // namespace vornlib
