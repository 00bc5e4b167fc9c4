// Time per independent random 8-byte read from main memory: the unit of the
// benchmark's memory limit.
//
// A 1 GiB array on ordinary 4 KiB pages (transparent huge pages refused with
// madvise, so every read may also miss the TLB, as reads of a caller's
// memory-mapped graph do) is read at random positions. No address depends on
// a loaded value, so the core keeps as many misses in flight as it can: this
// is the best rate at which one core fetches lines it cannot predict. The
// positions are drawn before the timing and streamed from their own array:
// drawing them in the loop lengthens every iteration, and the core's reorder
// window then holds fewer reads at once (on the project's machine the old
// loop, which did that, measured 1.5 to 2 times the time per read). Each pass times two loops, the plain one and
// one that also asks for the line kPrefetchAhead reads ahead, as a sampler
// may; the faster counts. Passes are timed in the thread's CPU time, which
// stops while other processes hold the core (wall time is reported beside
// it), and the best pass is reported, as JSON:
//
//   vornlib_memory_latency [--passes N] [--reads N] [--evict-bytes N [--cold-block N]]
//   {"ns_per_read": 17.3, "passes_ns": [...], "passes_wall_ns": [...], "plain_ns": 18.8,
//    "prefetched_ns": 17.3, "reads": 8388608, ...}
//
// With --evict-bytes, each pass also times the prefetching reads in blocks
// of --cold-block (50,000: about the lines of one benchmark call) with that
// many bytes of other memory written before each block, untimed, and reports
// the best as "cold_ns_per_read": the rate this machine gives a call that
// starts, as the benchmark's calls do, with caches and a TLB filled by other
// work, so that even the page-table entries of its reads must be fetched.

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

constexpr std::size_t kPrefetchAhead = 16;
// Reads of a pass's cold loop: every block of it pays for a full eviction.
constexpr std::size_t kColdReads = std::size_t{1} << 20;

// Independent reads at the given positions; returns a sum so that no read can be dropped.
std::uint64_t read_plain(const std::uint64_t* values, const std::uint32_t* positions, std::size_t reads) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < reads; ++i) {
        sum += values[positions[i]];
    }
    return sum;
}

// The same reads, each line also asked for kPrefetchAhead reads before it
// is read (positions holds that many extra entries).
std::uint64_t read_prefetched(const std::uint64_t* values, const std::uint32_t* positions, std::size_t reads) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < reads; ++i) {
        __builtin_prefetch(values + positions[i + kPrefetchAhead]);
        sum += values[positions[i]];
    }
    return sum;
}

// Random positions in [0, kElements), from a xorshift generator.
std::vector<std::uint32_t> draw_positions(std::size_t count, std::uint64_t state) {
    std::vector<std::uint32_t> positions(count);
    for (std::uint32_t& position : positions) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        position = static_cast<std::uint32_t>(state & (kElements - 1));
    }
    return positions;
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

// The prefetching reads in blocks of `block`, `evicting` written before each
// block, untimed: every block starts with caches and a TLB that other work
// filled, as the benchmark's calls do. Returns thread CPU ns per read.
double read_cold(const std::uint64_t* values, const std::uint32_t* positions, std::size_t reads, std::size_t block,
                 std::vector<std::uint64_t>& evicting, std::uint64_t& checksum) {
    std::int64_t reading_ns = 0;
    for (std::size_t start = 0; start < reads; start += block) {
        for (std::uint64_t& value : evicting) {
            value += start;
        }
        asm volatile("" : : "r"(evicting.data()) : "memory");  // the writes are the point: keep them
        const std::int64_t started = thread_cpu_ns();
        checksum += read_prefetched(values, positions + start, std::min(block, reads - start));
        reading_ns += thread_cpu_ns() - started;
    }
    return static_cast<double>(reading_ns) / static_cast<double>(reads);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t passes = 7;
    std::size_t reads = std::size_t{1} << 23;
    std::size_t evict_bytes = 0;
    std::size_t cold_block = 50000;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        std::size_t* option = argument == "--passes"        ? &passes
                              : argument == "--reads"       ? &reads
                              : argument == "--evict-bytes" ? &evict_bytes
                              : argument == "--cold-block"  ? &cold_block
                                                            : nullptr;
        if (option == nullptr || i + 1 >= argc) {
            std::fprintf(stderr,
                         "usage: vornlib_memory_latency [--passes N] [--reads N] [--evict-bytes N [--cold-block N]]\n");
            return 2;
        }
        *option = parse_count(argv[++i]);
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

    // Timed passes of both loops; a pass counts the faster.
    std::vector<double> pass_ns;
    std::vector<double> pass_wall_ns;
    double best_plain = 0.0;
    double best_prefetched = 0.0;
    std::vector<double> cold_pass_ns;
    std::vector<std::uint64_t> evicting(evict_bytes / sizeof(std::uint64_t), 1);
    std::uint64_t checksum = 0;
    for (std::size_t pass = 0; pass < passes; ++pass) {
        const std::vector<std::uint32_t> positions = draw_positions(reads + kPrefetchAhead, 0x9e3779b97f4a7c15ULL + pass);
        double cpu_ns[2];
        double wall_ns[2];
        for (int loop = 0; loop < 2; ++loop) {
            const std::int64_t cpu_started = thread_cpu_ns();
            const auto started = std::chrono::steady_clock::now();
            checksum += loop == 0 ? read_plain(values, positions.data(), reads)
                                  : read_prefetched(values, positions.data(), reads);
            const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - started;
            cpu_ns[loop] = static_cast<double>(thread_cpu_ns() - cpu_started) / static_cast<double>(reads);
            wall_ns[loop] = elapsed.count() / static_cast<double>(reads);
        }
        best_plain = pass == 0 ? cpu_ns[0] : std::min(best_plain, cpu_ns[0]);
        best_prefetched = pass == 0 ? cpu_ns[1] : std::min(best_prefetched, cpu_ns[1]);
        const int faster = cpu_ns[1] < cpu_ns[0] ? 1 : 0;
        pass_ns.push_back(cpu_ns[faster]);
        pass_wall_ns.push_back(wall_ns[faster]);
        if (evict_bytes > 0) {
            cold_pass_ns.push_back(
                read_cold(values, positions.data(), std::min(reads, kColdReads), cold_block, evicting, checksum));
        }
    }
    ::munmap(region, kArrayBytes);

    std::printf("{\"ns_per_read\": %.3f", *std::min_element(pass_ns.begin(), pass_ns.end()));
    print_list("passes_ns", pass_ns);
    print_list("passes_wall_ns", pass_wall_ns);
    std::printf(", \"plain_ns\": %.3f, \"prefetched_ns\": %.3f, \"prefetch_ahead\": %zu", best_plain,
                best_prefetched, kPrefetchAhead);
    if (evict_bytes > 0) {
        std::printf(", \"cold_ns_per_read\": %.3f", *std::min_element(cold_pass_ns.begin(), cold_pass_ns.end()));
        print_list("cold_passes_ns", cold_pass_ns);
        std::printf(", \"cold_block\": %zu, \"evict_bytes\": %zu", cold_block, evict_bytes);
    }
    std::printf(", \"reads\": %zu, \"array_bytes\": %zu, \"checksum\": %llu}\n", reads, kArrayBytes,
                static_cast<unsigned long long>(checksum));
    return 0;
}
