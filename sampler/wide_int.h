#pragma once

namespace vornlib {

// Seed time + window offset is compared as an exact sum: 128 bits hold any sum
// of two int64 values, so no bound ever wraps or overflows.
__extension__ typedef __int128 Int128;

}  // namespace vornlib
