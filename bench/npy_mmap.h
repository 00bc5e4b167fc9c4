#pragma once

// Read-only, memory-mapped int64 .npy arrays (format versions 1 to 3, C order,
// little-endian), as numpy writes them with np.save.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bench {

class NpyInt64 {
public:
    NpyInt64() = default;
    explicit NpyInt64(const std::string& path) : path_(path) {
        map_file();
        parse_header();
    }
    ~NpyInt64() { unmap(); }

    NpyInt64(NpyInt64&& other) noexcept { *this = std::move(other); }
    NpyInt64& operator=(NpyInt64&& other) noexcept {
        if (this != &other) {
            unmap();
            path_ = std::move(other.path_);
            region_ = std::exchange(other.region_, nullptr);
            mapping_ = std::exchange(other.mapping_, nullptr);
            mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
            data_ = std::exchange(other.data_, nullptr);
            shape_ = std::move(other.shape_);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    NpyInt64(const NpyInt64&) = delete;
    NpyInt64& operator=(const NpyInt64&) = delete;

    const std::string& path() const { return path_; }
    const std::vector<std::size_t>& shape() const { return shape_; }
    std::size_t size() const { return size_; }

    // The elements, 8-byte aligned: the mapping starts on a page and the
    // header ends on a multiple of eight.
    const std::int64_t* data() const { return reinterpret_cast<const std::int64_t*>(data_); }

private:
    [[noreturn]] void fail(const std::string& what) const { throw std::runtime_error(path_ + ": " + what); }

    void map_file() {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            fail("cannot open");
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || info.st_size <= 0) {
            ::close(fd);
            fail("cannot stat, or empty");
        }
        mapped_bytes_ = static_cast<std::size_t>(info.st_size);
        // Populated up front, like the Python benchmark's pages, so that no
        // timed call pays for first-touch page faults.
        void* mapping = ::mmap(nullptr, mapped_bytes_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        ::close(fd);
        if (mapping == MAP_FAILED) {
            mapped_bytes_ = 0;
            fail("cannot mmap");
        }
        region_ = mapping;
        mapping_ = static_cast<const unsigned char*>(mapping);
    }

    void unmap() {
        if (region_ != nullptr) {
            ::munmap(region_, mapped_bytes_);
            region_ = nullptr;
            mapping_ = nullptr;
        }
    }

    std::size_t little_endian(std::size_t offset, std::size_t bytes) const {
        std::size_t value = 0;
        for (std::size_t i = bytes; i-- > 0;) {
            value = (value << 8) | mapping_[offset + i];
        }
        return value;
    }

    void parse_header() {
        static const char kMagic[] = "\x93NUMPY";
        if (mapped_bytes_ < 10 || std::memcmp(mapping_, kMagic, 6) != 0) {
            fail("not an .npy file");
        }
        const unsigned major = mapping_[6];
        const std::size_t length_bytes = major == 1 ? 2 : 4;
        if (major < 1 || major > 3 || mapped_bytes_ < 8 + length_bytes) {
            fail("unsupported .npy version");
        }
        const std::size_t header_start = 8 + length_bytes;
        const std::size_t header_length = little_endian(8, length_bytes);
        const std::size_t data_offset = header_start + header_length;
        if (data_offset > mapped_bytes_ || data_offset % sizeof(std::int64_t) != 0) {
            fail("truncated or misaligned header");
        }
        const std::string header(reinterpret_cast<const char*>(mapping_ + header_start), header_length);
        if (quoted_value(header, "'descr'") != "<i8") {
            fail("dtype is not little-endian int64");
        }
        if (header.find("'fortran_order': False") == std::string::npos) {
            fail("not C order");
        }
        shape_ = shape_value(header);
        size_ = 1;
        for (std::size_t extent : shape_) {
            if (extent != 0 && size_ > SIZE_MAX / extent) {
                fail("shape too large");
            }
            size_ *= extent;
        }
        if ((mapped_bytes_ - data_offset) / sizeof(std::int64_t) < size_) {
            fail("file shorter than its shape");
        }
        data_ = mapping_ + data_offset;
    }

    std::string quoted_value(const std::string& header, const std::string& key) const {
        const std::size_t at = header.find(key);
        const std::size_t open = at == std::string::npos ? at : header.find('\'', at + key.size());
        const std::size_t close = open == std::string::npos ? open : header.find('\'', open + 1);
        if (close == std::string::npos) {
            fail("header lacks " + key);
        }
        return header.substr(open + 1, close - open - 1);
    }

    std::vector<std::size_t> shape_value(const std::string& header) const {
        const std::size_t at = header.find("'shape'");
        const std::size_t open = at == std::string::npos ? at : header.find('(', at);
        const std::size_t close = open == std::string::npos ? open : header.find(')', open);
        if (close == std::string::npos) {
            fail("header lacks 'shape'");
        }
        std::vector<std::size_t> shape;
        std::size_t value = 0;
        bool in_number = false;
        for (std::size_t i = open + 1; i < close; ++i) {
            const char c = header[i];
            if (c >= '0' && c <= '9') {
                value = value * 10 + static_cast<std::size_t>(c - '0');
                in_number = true;
            } else if (c == ',' || c == ' ') {
                if (in_number) {
                    shape.push_back(value);
                }
                value = 0;
                in_number = false;
            } else {
                fail("malformed shape");
            }
        }
        if (in_number) {
            shape.push_back(value);
        }
        return shape;
    }

    std::string path_;
    void* region_ = nullptr;  // what munmap releases
    const unsigned char* mapping_ = nullptr;
    std::size_t mapped_bytes_ = 0;
    const unsigned char* data_ = nullptr;
    std::vector<std::size_t> shape_;
    std::size_t size_ = 0;
};

}  // namespace bench
