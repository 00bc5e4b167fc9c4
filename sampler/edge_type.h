#pragma once

#include <string>

namespace vornlib {

// One (source type, relation, destination type) triple. Hops expand nodes of
// the destination type and reach nodes of the source type.
struct EdgeType {
    std::string source;
    std::string relation;
    std::string destination;
};

// The string that addresses an edge type in every per-edge-type dictionary.
// No escaping: distinct triples may share a key, and then share its arrays.
inline std::string edge_type_key(const EdgeType& edge_type) {
    return edge_type.source + "__" + edge_type.relation + "__" + edge_type.destination;
}

}  // namespace vornlib
