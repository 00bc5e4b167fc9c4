// Time per independent random 8-byte read from main memory: the unit of the
// benchmark's memory limit.
//
// A 1 GiB array on ordinary 4 KiB pages (transparent huge pages refused with
// madvise, so every read may also miss the TLB, as reads of a caller's
// memory-mapped graph do) is read at positions drawn by a xorshift generator.
// No address depends on a loaded value, so the core keeps as many misses in
// flight as it can: this is the best rate at which one core fetches lines it
// cannot predict. Each pass is timed in the thread's CPU time, which stops
// while other processes hold the core (wall time is reported beside it), and
// the best pass is reported, as JSON:
//
//   vornlib_memory_latency [--passes N] [--reads N]
//   {"ns_per_read": 7.9, "passes_ns": [...], "passes_wall_ns": [...], "reads": 16777216, ...}

#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kArrayBytes = std::size_t{1} << 30;
constexpr std::size_t kElements = kArrayBytes / sizeof(std::uint64_t);

// Independent random reads; returns a sum so that no read can be dropped.
std::uint64_t read_randomly(const std::uint64_t* values, std::size_t reads, std::uint64_t state) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < reads; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        sum += values[state & (kElements - 1)];
    }
    return sum;
}

std::int64_t thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void print_list(const char* name, const std::vector<double>& values) {
    std::printf(", \"%s\": [", name);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::printf("%s%.3f", i == 0 ? "" : ", ", values[i]);
    }
    std::printf("]");
}

std::size_t parse_count(const char* text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || value == 0) {
        std::fprintf(stderr, "error: not a positive count: %s\n", text);
        std::exit(2);
    }
    return static_cast<std::size_t>(value);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t passes = 7;
    std::size_t reads = std::size_t{1} << 24;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--passes" || argument == "--reads") && i + 1 < argc) {
            (argument == "--passes" ? passes : reads) = parse_count(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: vornlib_memory_latency [--passes N] [--reads N]\n");
            return 2;
        }
    }

    void* region = ::mmap(nullptr, kArrayBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        std::perror("mmap of 1 GiB");
        return 1;
    }
    if (::madvise(region, kArrayBytes, MADV_NOHUGEPAGE) != 0) {
        std::perror("madvise(MADV_NOHUGEPAGE)");
        ::munmap(region, kArrayBytes);
        return 1;
    }
    auto* values = static_cast<std::uint64_t*>(region);
    for (std::size_t i = 0; i < kElements; ++i) {
        values[i] = i;  // every page written, so no read meets a fault or the shared zero page
    }

    std::vector<double> pass_ns;
    std::vector<double> pass_wall_ns;
    std::uint64_t checksum = 0;
    for (std::size_t pass = 0; pass < passes; ++pass) {
        const std::int64_t cpu_started = thread_cpu_ns();
        const auto started = std::chrono::steady_clock::now();
        checksum += read_randomly(values, reads, 0x9e3779b97f4a7c15ULL + pass);
        const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - started;
        pass_ns.push_back(static_cast<double>(thread_cpu_ns() - cpu_started) / static_cast<double>(reads));
        pass_wall_ns.push_back(elapsed.count() / static_cast<double>(reads));
    }
    ::munmap(region, kArrayBytes);

    std::printf("{\"ns_per_read\": %.3f", *std::min_element(pass_ns.begin(), pass_ns.end()));
    print_list("passes_ns", pass_ns);
    print_list("passes_wall_ns", pass_wall_ns);
    std::printf(", \"reads\": %zu, \"array_bytes\": %zu, \"checksum\": %llu}\n", reads, kArrayBytes,
                static_cast<unsigned long long>(checksum));
    return 0;
}
