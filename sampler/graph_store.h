#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sampler/edge_type.h"
#include "sampler/int64_span.h"

namespace vornlib {

// Dense ids resolved once at construction, so that sampling never hashes a
// string: a node type id per distinct node type name (first-occurrence order)
// and a key id per distinct edge type key.
using TypeId = std::uint32_t;
using KeyId = std::uint32_t;
inline constexpr TypeId kNoType = static_cast<TypeId>(-1);

// The graph as the caller gave it: type lists in their stored order (duplicates
// kept), one CSC adjacency per edge type key and optional timestamps per node
// type. The arrays are borrowed; whoever builds the store keeps them alive.
class GraphStore {
public:
    GraphStore(std::vector<std::string> node_types, std::vector<EdgeType> edge_types);

    // Filled once while the sampler is constructed.
    void set_adjacency(KeyId key, Int64Span colptr, Int64Span row);
    void set_node_time(TypeId type, Int64Span times);
    void set_has_node_time(bool value) { has_node_time_ = value; }

    // The lists exactly as given, and one key per edge_types entry.
    const std::vector<std::string>& node_types() const { return node_types_; }
    const std::vector<EdgeType>& edge_types() const { return edge_types_; }
    const std::vector<std::string>& edge_type_keys() const { return edge_type_keys_; }
    bool has_node_time() const { return has_node_time_; }

    // Distinct node types, in order of first occurrence in node_types.
    std::size_t type_count() const { return type_names_.size(); }
    const std::string& type_name(TypeId type) const { return type_names_[type]; }
    TypeId type_of_entry(std::size_t node_types_entry) const { return type_of_entry_[node_types_entry]; }
    std::optional<TypeId> find_type(std::string_view name) const;

    // Distinct edge type keys, in order of first occurrence in edge_types.
    std::size_t key_count() const { return key_names_.size(); }
    const std::string& key_name(KeyId key) const { return key_names_[key]; }
    KeyId key_of_entry(std::size_t edge_types_entry) const { return key_of_entry_[edge_types_entry]; }

    // Endpoint types of an edge_types entry; kNoType when not a node type.
    TypeId source_of_entry(std::size_t edge_types_entry) const { return source_of_entry_[edge_types_entry]; }
    TypeId destination_of_entry(std::size_t edge_types_entry) const {
        return destination_of_entry_[edge_types_entry];
    }

    Int64Span colptr(KeyId key) const { return colptr_[key]; }
    Int64Span row(KeyId key) const { return row_[key]; }
    // Timestamps of a node type, or nullptr when it has none.
    const Int64Span* node_time(TypeId type) const {
        return node_time_[type].has_value() ? &*node_time_[type] : nullptr;
    }

private:
    std::vector<std::string> node_types_;
    std::vector<EdgeType> edge_types_;
    std::vector<std::string> edge_type_keys_;
    bool has_node_time_ = false;

    std::vector<std::string> type_names_;
    std::vector<TypeId> type_of_entry_;
    std::vector<std::string> key_names_;
    std::vector<KeyId> key_of_entry_;
    std::vector<TypeId> source_of_entry_;
    std::vector<TypeId> destination_of_entry_;

    std::vector<Int64Span> colptr_;
    std::vector<Int64Span> row_;
    std::vector<std::optional<Int64Span>> node_time_;
};

}  // namespace vornlib
