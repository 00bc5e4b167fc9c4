#include "sampler/working_tables.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vornlib {

namespace {

constexpr std::size_t kMaxValues = std::numeric_limits<std::size_t>::max() / sizeof(std::int64_t);

std::size_t bytes_of(std::size_t values) {
    if (values > kMaxValues) {
        throw std::bad_alloc();
    }
    return values * sizeof(std::int64_t);
}

struct Empty {
    void operator()(Int64Table& table) const { table.clear(); }
};

}  // namespace

Int64Table::Int64Table(std::initializer_list<std::int64_t> values) {
    reserve(values.size());
    for (const std::int64_t value : values) {
        data_[size_++] = value;
    }
}

Int64Table::Int64Table(const Int64Table& other) {
    reserve(other.size_);
    if (other.size_ > 0) {
        std::memcpy(data_, other.data_, bytes_of(other.size_));
    }
    size_ = other.size_;
}

Int64Table& Int64Table::operator=(const Int64Table& other) {
    if (this != &other) {
        Int64Table copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Int64Table::Int64Table(Int64Table&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)), handed_capacity_(other.handed_capacity_) {}

Int64Table& Int64Table::operator=(Int64Table&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        handed_capacity_ = other.handed_capacity_;
    }
    return *this;
}

void Int64Table::assign(std::size_t count, std::int64_t value) {
    clear();
    resize(count);
    std::fill(data_, data_ + size_, value);
}

void Int64Table::release() noexcept {
    table_memory::free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

TableBlock Int64Table::hand_over() noexcept {
    if (capacity_ > 2 * size_) {
        // A block kept from a larger call: the array gets no more than twice
        // what it holds, since the caller may keep it for long.
        try {
            data_ = static_cast<std::int64_t*>(table_memory::resize(data_, bytes_of(size_)));
            capacity_ = size_;
        } catch (const std::bad_alloc&) {
            // realloc could not even shrink it: the array takes the block whole
        }
    }
    // The room of the block as handed over, not as it was before shrinking:
    // a table that took a larger call's block would otherwise ask for such a
    // block again, and take it from the table that needs it, which then
    // grows by copying.
    handed_capacity_ = capacity_;
    const TableBlock block{data_, capacity_ * sizeof(std::int64_t)};
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    return block;
}

bool Int64Table::operator==(const Int64Table& other) const {
    return size_ == other.size_ && std::equal(begin(), end(), other.begin());
}

void Int64Table::grow_for(std::size_t needed) {
    reallocate(std::max(needed, capacity_ > kMaxValues / 2 ? kMaxValues : 2 * capacity_));
}

void Int64Table::reallocate(std::size_t capacity) {
    const std::size_t bytes = bytes_of(capacity);
    if (size_ == 0) {
        // Nothing to keep, so nothing to copy. A block a freed result gave
        // back is already in memory, where a new one is faulted in page by page.
        give_back(TableBlock{std::exchange(data_, nullptr), std::exchange(capacity_, 0) * sizeof(std::int64_t)});
        const TableBlock pooled = StoragePool::instance().take(bytes, bytes_of(handed_capacity_));
        if (pooled.data != nullptr) {
            data_ = static_cast<std::int64_t*>(pooled.data);
            capacity_ = pooled.bytes / sizeof(std::int64_t);
            return;
        }
    }
    data_ = static_cast<std::int64_t*>(table_memory::resize(data_, bytes));
    capacity_ = capacity;
}

void Int64Table::give_back(TableBlock block) noexcept {
    if (block.bytes >= kHandOverBytes) {
        StoragePool::instance().give(block);
    } else {
        table_memory::free(block.data);
    }
}

void WorkingTables::start(std::size_t type_count, std::size_t key_count) {
    clear();
    nodes_.resize(type_count);
    edges_.resize(key_count);
    for (NodeTables& node : nodes_) {
        node.num_sampled.push_back(0);
    }
    for (EdgeTables& edge : edges_) {
        edge.num_sampled.push_back(0);
    }
}

void WorkingTables::clear() {
    for (NodeTables& node : nodes_) {
        node.for_each_table(Empty{});
    }
    for (EdgeTables& edge : edges_) {
        edge.for_each_table(Empty{});
    }
}

void WorkingTables::release() noexcept {
    nodes_ = std::vector<NodeTables>{};
    edges_ = std::vector<EdgeTables>{};
}

}  // namespace vornlib
