// Throughput of the scan matcher on one 64 MiB chunk (the scan's default chunk) with the default
// settings, next to a plain read pass (memchr for a byte that is not there) over the same buffer
// in the same run: the read pass is what a search that looks at every byte cannot beat.
//
// Inputs, each 64 MiB, none holding the byte 0x5A:
//   random  uniformly random bytes: what most of a used disk looks like to the matcher
//   dense   half FF bytes, a quarter D8, an eighth E0: a candidate JPEG start every few bytes,
//           and a real one about every 128 bytes
//   starts  FF D8 FF E0 over and over: a JPEG start every 4 bytes, the worst case for the hit list
// The result lists are reused from one run to the next, as the scan job reuses them per chunk.
#include <benchmark/benchmark.h>

#include "bench_defaults.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "scan/scan_match.h"

namespace {

constexpr size_t CHUNK_SIZE = 64ull * 1024 * 1024;
constexpr uint8_t ABSENT_BYTE = 0x5A;
const char* const KINDS[] = {"random", "dense", "starts"};

struct SplitMix {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

uint8_t not_absent(uint64_t value) {
    const auto byte = static_cast<uint8_t>(value);
    return byte == ABSENT_BYTE ? static_cast<uint8_t>(byte + 1) : byte;
}

std::vector<uint8_t> make(const std::string& kind) {
    std::vector<uint8_t> chunk(CHUNK_SIZE);
    SplitMix rng{11};
    if (kind == "random") {
        for (uint8_t& byte : chunk) byte = not_absent(rng.next());
    } else if (kind == "dense") {
        for (uint8_t& byte : chunk) {
            const uint64_t r = rng.next();
            const uint64_t pick = r & 7;
            byte = pick < 4 ? 0xFF : pick < 6 ? 0xD8 : pick < 7 ? 0xE0 : not_absent(r >> 8);
        }
    } else {
        static const uint8_t start[4] = {0xFF, 0xD8, 0xFF, 0xE0};
        for (size_t i = 0; i < CHUNK_SIZE; ++i) chunk[i] = start[i % 4];
    }
    return chunk;
}

std::map<std::string, std::vector<uint8_t>>& inputs() {
    static std::map<std::string, std::vector<uint8_t>> made = [] {
        std::map<std::string, std::vector<uint8_t>> all;
        for (const char* kind : KINDS) all.emplace(kind, make(kind));
        return all;
    }();
    return made;
}

void match(benchmark::State& state, const std::string& kind) {
    const std::vector<uint8_t>& chunk = inputs().at(kind);
    const ScanSettings settings = scan_settings_read(nullptr);
    ScanResult result;
    // Not at disk offset 0 and not on a sector boundary, as most chunks of a scan from an odd start.
    const uint64_t chunk_offset = 3 * CHUNK_SIZE + 1000;
    // One run before the clock, so that the lists have their room, as from the second chunk on.
    if (!scan_match_chunk(chunk_offset, chunk.data(), chunk.size(), settings, &result)) {
        state.SkipWithError("out of memory");
        return;
    }
    for (auto _ : state) {
        if (!scan_match_chunk(chunk_offset, chunk.data(), chunk.size(), settings, &result)) {
            state.SkipWithError("out of memory");
            break;
        }
        benchmark::DoNotOptimize(result.sigs.data());
        benchmark::ClobberMemory();
    }
    state.counters["hits"] = static_cast<double>(result.ftyp.size() + result.moov.size() + result.sigs.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(CHUNK_SIZE));
}

void read_pass(benchmark::State& state, const std::string& kind) {
    const std::vector<uint8_t>& chunk = inputs().at(kind);
    for (auto _ : state) {
        const void* found = std::memchr(chunk.data(), ABSENT_BYTE, chunk.size());
        if (found) {
            state.SkipWithError("the absent byte is present");
            break;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(CHUNK_SIZE));
}

// The console output as usual, then the matcher beside memchr per input, from the medians when
// the benchmarks were repeated.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    using ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const auto rate = run.counters.find("bytes_per_second");
            if (rate == run.counters.end()) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (median || single) rates_[run.run_name.function_name] = rate->second.value;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nMatcher beside a read pass, 64 MiB chunk, default settings (GB/s = 1e9 bytes/s):\n");
        std::printf("%-8s %10s %10s %8s\n", "data", "match", "memchr", "ratio");
        for (const char* kind : KINDS) {
            const double m = rate("match/" + std::string(kind));
            const double r = rate("memchr/" + std::string(kind));
            std::printf("%-8s %10.2f %10.2f %8.2f\n", kind, m / 1e9, r / 1e9, r > 0 ? m / r : 0.0);
        }
        std::printf("(rates from CPU time: on a shared machine wall time also counts waiting for a core)\n");
        std::fflush(stdout);
    }

private:
    double rate(const std::string& name) const {
        const auto found = rates_.find(name);
        return found == rates_.end() ? 0 : found->second;
    }

    std::map<std::string, double> rates_;  // median, or the only run
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> storage;
    std::vector<char*> args = bench_arguments(argc, argv, "0.2", storage);
    std::string format = "console";
    for (const char* given : args) {
        const std::string arg = given;
        if (arg.starts_with("--benchmark_format=")) format = arg.substr(19);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    for (const char* kind : KINDS) {
        const std::string k = kind;
        benchmark::RegisterBenchmark(("match/" + k).c_str(), match, k)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("memchr/" + k).c_str(), read_pass, k)->Unit(benchmark::kMillisecond);
    }
    inputs();  // built before the clock starts on anything

    if (format != "console") {
        benchmark::RunSpecifiedBenchmarks();
    } else {
        SummaryReporter reporter(benchmark::ConsoleReporter::OO_None);
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }
    benchmark::Shutdown();
    return 0;
}
