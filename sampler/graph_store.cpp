#include "sampler/graph_store.h"

#include <unordered_map>
#include <utility>

namespace vornlib {

namespace {

// Assigns dense ids to distinct names in order of first occurrence.
template <typename Id>
class IdAssigner {
public:
    Id id_of(const std::string& name, std::vector<std::string>& names) {
        auto [it, inserted] = ids_.emplace(name, static_cast<Id>(names.size()));
        if (inserted) {
            names.push_back(name);
        }
        return it->second;
    }

private:
    std::unordered_map<std::string, Id> ids_;
};

}  // namespace

GraphStore::GraphStore(std::vector<std::string> node_types, std::vector<EdgeType> edge_types)
    : node_types_(std::move(node_types)), edge_types_(std::move(edge_types)) {
    IdAssigner<TypeId> type_ids;
    type_of_entry_.reserve(node_types_.size());
    for (const std::string& name : node_types_) {
        type_of_entry_.push_back(type_ids.id_of(name, type_names_));
    }

    IdAssigner<KeyId> key_ids;
    edge_type_keys_.reserve(edge_types_.size());
    for (const EdgeType& edge_type : edge_types_) {
        edge_type_keys_.push_back(edge_type_key(edge_type));
        key_of_entry_.push_back(key_ids.id_of(edge_type_keys_.back(), key_names_));
        const auto source = find_type(edge_type.source);
        const auto destination = find_type(edge_type.destination);
        source_of_entry_.push_back(source.value_or(kNoType));
        destination_of_entry_.push_back(destination.value_or(kNoType));
    }

    colptr_.resize(key_names_.size());
    row_.resize(key_names_.size());
    node_time_.resize(type_names_.size());
}

std::optional<TypeId> GraphStore::find_type(std::string_view name) const {
    for (std::size_t i = 0; i < type_names_.size(); ++i) {
        if (type_names_[i] == name) {
            return static_cast<TypeId>(i);
        }
    }
    return std::nullopt;
}

void GraphStore::set_adjacency(KeyId key, Int64Span colptr, Int64Span row) {
    colptr_[key] = colptr;
    row_[key] = row;
}

void GraphStore::set_node_time(TypeId type, Int64Span times) { node_time_[type] = times; }

}  // namespace vornlib
