#include "binding/errors.h"

#include <stdexcept>

namespace vornlib::binding::errors {

void invalid_type(const std::string& text, const std::string& label) {
    throw std::runtime_error("Invalid type '" + text + "' found in " + label + ".");
}

void wrong_dimensions(const std::string& name, int ndim) {
    throw std::runtime_error(name + " is not " + std::to_string(ndim) + "D.");
}

void not_int64(const std::string& name) { throw std::runtime_error(name + " must have dtype int64."); }

void invalid_entity_table(const std::string& entity_table) {
    throw std::runtime_error("Invalid entity table '" + entity_table + "'.");
}

void mode_conflict(const std::string& key) {
    throw std::runtime_error(
        "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. '" + key +
        "' appears in both.");
}

void window_without_time(const std::string& key, const std::string& source_type) {
    throw std::runtime_error("'sampling_time_offsets' contains '" + key + "' but " + source_type +
                             " is not included in 'node_time'.");
}

void window_not_pairs(const std::string& key) {
    throw std::runtime_error("'sampling_time_offsets' at '" + key + "' does not have shape (N, 2).");
}

void already_sampling() {
    throw std::runtime_error(
        "NeighborSampler is already sampling in another call; calls on one sampler must not overlap.");
}

}  // namespace vornlib::binding::errors
