#pragma once

#include <cstdint>
#include <string_view>

// Cold, out-of-line throwers. Keeping the message building out of the hot
// loops leaves only a compare-and-branch at each check site.
namespace vornlib::errors {

[[noreturn]] void unsorted_temporal_neighborhood();

// colptr[v] or colptr[v + 1] does not exist for destination node v.
[[noreturn]] void node_outside_colptr(std::string_view edge_key, std::int64_t node,
                                      std::int64_t colptr_size);

// colptr[v] .. colptr[v + 1] reaches outside the row array.
[[noreturn]] void range_outside_row(std::string_view edge_key, std::int64_t node,
                                    std::int64_t lo, std::int64_t hi, std::int64_t row_size);

// row[position] names a source node that has no timestamp.
[[noreturn]] void neighbor_outside_node_time(std::string_view edge_key, std::int64_t position,
                                             std::int64_t neighbor, std::string_view source_type,
                                             std::int64_t node_time_size);

// seed_time given with another length than seed_node while timestamps exist.
[[noreturn]] void seed_size_mismatch();

// A seed index with no timestamp in its entity type's node_time.
[[noreturn]] void seed_outside_node_time(std::string_view node_type, std::int64_t seed_position,
                                         std::int64_t node, std::int64_t node_time_size);

// An edge type whose destination type is not a node type: no frontier exists.
[[noreturn]] void missing_destination_frontier();

// An edge type whose source type is not a node type: reached nodes could not be kept.
[[noreturn]] void unknown_source_type(std::string_view edge_key, std::string_view source_type);

// More seeds or sampled nodes than one call can index.
[[noreturn]] void too_many_nodes(std::string_view what);

}  // namespace vornlib::errors
