#pragma once

#include <cstdint>

namespace vornlib {

// A borrowed, read-only run of int64 values: the first element and the count.
// Whoever hands one out keeps the memory alive; the sampler only reads it.
struct Int64Span {
    const std::int64_t* data = nullptr;
    std::int64_t size = 0;

    bool contains(std::int64_t index) const { return index >= 0 && index < size; }
    std::size_t size_as_count() const { return size > 0 ? static_cast<std::size_t>(size) : 0; }
    std::int64_t operator[](std::int64_t index) const { return data[index]; }
};

}  // namespace vornlib
