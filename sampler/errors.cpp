#include "sampler/errors.h"

#include <stdexcept>
#include <string>

namespace vornlib::errors {

namespace {

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '\'';
    out += text;
    out += '\'';
    return out;
}

}  // namespace

void unsorted_temporal_neighborhood() {
    throw std::runtime_error("Found invalid non-sorted temporal neighborhood");
}

void node_outside_colptr(std::string_view edge_key, std::int64_t node, std::int64_t colptr_size) {
    throw std::runtime_error("Node index " + std::to_string(node) + " is out of range for 'colptr' of " +
                             quoted(edge_key) + " (" + std::to_string(colptr_size) + " entries).");
}

void range_outside_row(std::string_view edge_key, std::int64_t node, std::int64_t lo, std::int64_t hi,
                       std::int64_t row_size) {
    const std::int64_t offending = lo < 0 ? lo : hi - 1;
    throw std::runtime_error("Edge position " + std::to_string(offending) + " (colptr range [" +
                             std::to_string(lo) + ", " + std::to_string(hi) + ") of node " +
                             std::to_string(node) + ") is out of range for 'row' of " + quoted(edge_key) +
                             " (" + std::to_string(row_size) + " entries).");
}

void neighbor_outside_node_time(std::string_view edge_key, std::int64_t position, std::int64_t neighbor,
                                std::string_view source_type, std::int64_t node_time_size) {
    throw std::runtime_error("Node index " + std::to_string(neighbor) + " at position " +
                             std::to_string(position) + " of 'row' of " + quoted(edge_key) +
                             " is out of range for 'node_time' of " + quoted(source_type) + " (" +
                             std::to_string(node_time_size) + " entries).");
}

void seed_size_mismatch() { throw std::runtime_error("'seed_node' and 'seed_time' size mismatch."); }

void seed_outside_node_time(std::string_view node_type, std::int64_t seed_position, std::int64_t node,
                            std::int64_t node_time_size) {
    throw std::runtime_error("Seed node index " + std::to_string(node) + " at position " +
                             std::to_string(seed_position) + " is out of range for 'node_time' of " +
                             quoted(node_type) + " (" + std::to_string(node_time_size) + " entries).");
}

void missing_destination_frontier() {
    // Same text a failed std::unordered_map::at reports; Python sees IndexError.
    throw std::out_of_range("unordered_map::at");
}

void unknown_source_type(std::string_view edge_key, std::string_view source_type) {
    throw std::runtime_error("Edge type " + quoted(edge_key) + " has source type " + quoted(source_type) +
                             ", which is not included in 'node_types'.");
}

void too_many_nodes(std::string_view what) {
    throw std::length_error("Too many " + std::string(what) + " in one sample call.");
}

}  // namespace vornlib::errors
