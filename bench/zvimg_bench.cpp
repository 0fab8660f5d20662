// Throughput of the ZVIMG encoder on whole image parts, next to the two limits it is judged by:
// a memcpy of the part (what bringing a part in costs, and what the pure encoder cannot beat on
// random data, since every block is copied once) and a plain read pass (what looking at every byte
// of zero or fill blocks costs). The in-place encoder of the pipeline is timed with the part
// copied in piece by piece, standing for the read. All of them run in one process over the same
// 512 MiB inputs, so that the ratios printed at the end compare like with like on whatever
// machine runs them.
//
// Inputs: zero, fill (0xFF everywhere), random, and a mix of runs of zero, fill and random 1 MiB
// blocks. The byte 0x5A never occurs in any of them, so memchr for it reads the whole buffer; the
// random generator skips that one value, which changes nothing for the encoder.
#include <benchmark/benchmark.h>

#include "bench_defaults.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "imaging/part_buffer.h"
#include "imaging/zvimg.h"

namespace {

constexpr size_t PART_SIZE = 512ull * 1024 * 1024;
constexpr uint8_t ABSENT_BYTE = 0x5A;
constexpr uint8_t FILL_BYTE = 0xFF;

struct SplitMix {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

void fill_random(uint8_t* p, size_t n, SplitMix& rng) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t word = rng.next();
        std::memcpy(p + i, &word, 8);
    }
    for (; i < n; ++i) p[i] = static_cast<uint8_t>(rng.next());
    for (i = 0; i < n; ++i) {
        if (p[i] == ABSENT_BYTE) p[i] = static_cast<uint8_t>(ABSENT_BYTE + 1);
    }
}

// Roughly what a used disk looks like at 1 MiB granularity: runs of 1 to 32 blocks, picked 45%
// random (file data), 40% zero (never written or trimmed) and 15% fill (0xFF from erased flash,
// or a byte pattern written by a tool); fill runs vary their byte. With the fixed seed the part
// comes out about a quarter random by size (the out_per_in counter of encode_into/mixed).
void fill_mixed(uint8_t* p, size_t n) {
    SplitMix rng{42};
    const uint8_t fill_values[] = {0xFF, 0x20, 0xE5, 0x01};
    size_t block = 0;
    const size_t blocks = n / ZVIMG_BLOCK_SIZE;
    while (block < blocks) {
        size_t run = 1 + rng.next() % 32;
        if (run > blocks - block) run = blocks - block;
        const uint64_t pick = rng.next() % 100;
        uint8_t* at = p + block * ZVIMG_BLOCK_SIZE;
        const size_t bytes = run * ZVIMG_BLOCK_SIZE;
        if (pick < 45) {
            fill_random(at, bytes, rng);
        } else if (pick < 85) {
            std::memset(at, 0, bytes);
        } else {
            std::memset(at, fill_values[rng.next() % 4], bytes);
        }
        block += run;
    }
}

struct Inputs {
    std::map<std::string, PartBuffer> data;
    PartBuffer reused_out;  // touched once, then reused by every steady-state in-place encode
    PartBuffer copy_out;    // memcpy destination, touched once

    Inputs() {
        auto make = [this](const std::string& name) -> uint8_t* {
            PartBuffer buffer(PART_SIZE);
            if (!buffer.valid()) {
                std::fprintf(stderr, "cannot allocate %zu bytes\n", PART_SIZE);
                std::exit(1);
            }
            buffer.set_size(PART_SIZE);
            uint8_t* p = buffer.data();
            data.emplace(name, std::move(buffer));
            return p;
        };
        std::memset(make("zero"), 0, PART_SIZE);  // written, so that its pages are real
        std::memset(make("fill"), FILL_BYTE, PART_SIZE);
        SplitMix rng{7};
        fill_random(make("random"), PART_SIZE, rng);
        fill_mixed(make("mixed"), PART_SIZE);

        reused_out = PartBuffer(ZvimgBuilder::buffer_size(PART_SIZE));
        copy_out = PartBuffer(PART_SIZE);
        if (!reused_out.valid() || !copy_out.valid()) {
            std::fprintf(stderr, "cannot allocate output buffers\n");
            std::exit(1);
        }
        std::memset(reused_out.data(), 1, reused_out.capacity());
        std::memset(copy_out.data(), 1, copy_out.capacity());
    }
};

Inputs& inputs() {
    static Inputs instance;
    return instance;
}

// The pipeline's steady state: the part arrives in 64 MiB pieces in a reused buffer (copied in
// here, where the agent reads them in) and is encoded in place as they come.
void encode_in_place(benchmark::State& state, const std::string& kind) {
    constexpr uint64_t kPiece = 64ull << 20;
    Inputs& in = inputs();
    const uint8_t* raw = in.data.at(kind).data();
    uint64_t length = 0;
    for (auto _ : state) {
        ZvimgBuilder builder;
        if (!builder.start(in.reused_out.data(), PART_SIZE)) {
            state.SkipWithError("encode failed");
            break;
        }
        for (uint64_t at = 0; at < PART_SIZE; at += kPiece) {
            const uint64_t piece = std::min<uint64_t>(kPiece, PART_SIZE - at);
            std::memcpy(builder.next_piece(), raw + at, piece);
            builder.add(piece);
        }
        uint64_t begin = 0;
        builder.finish(&begin, &length);
        benchmark::DoNotOptimize(in.reused_out.data());
        benchmark::ClobberMemory();
    }
    state.counters["out_per_in"] = static_cast<double>(length) / PART_SIZE;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * PART_SIZE);
}

// A fresh output every time: the cost of first touching its pages is part of the figure, and so
// is giving them back when the buffer goes out of scope.
void encode_fresh(benchmark::State& state, const std::string& kind) {
    const uint8_t* raw = inputs().data.at(kind).data();
    for (auto _ : state) {
        std::optional<PartBuffer> out = zvimg_encode(raw, PART_SIZE);
        if (!out) {
            state.SkipWithError("encode failed");
            break;
        }
        benchmark::DoNotOptimize(out->data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * PART_SIZE);
}

void copy(benchmark::State& state, const std::string& kind) {
    Inputs& in = inputs();
    const uint8_t* raw = in.data.at(kind).data();
    for (auto _ : state) {
        std::memcpy(in.copy_out.data(), raw, PART_SIZE);
        benchmark::DoNotOptimize(in.copy_out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * PART_SIZE);
}

void read_pass(benchmark::State& state, const std::string& kind) {
    const uint8_t* raw = inputs().data.at(kind).data();
    for (auto _ : state) {
        const void* found = std::memchr(raw, ABSENT_BYTE, PART_SIZE);
        if (found) {
            state.SkipWithError("the absent byte is present");
            break;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * PART_SIZE);
}

// The console output as usual, then the ratios the encoder is judged by, from the medians when
// the benchmarks were repeated.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    explicit SummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const auto rate = run.counters.find("bytes_per_second");
            if (rate == run.counters.end()) continue;
            const std::string& name = run.run_name.function_name;
            const double value = rate->second.value;
            if (run.run_type == Run::RT_Iteration) {
                auto [range, fresh] = ranges_.try_emplace(name, value, value);
                if (!fresh) range->second = {std::min(range->second.first, value), std::max(range->second.second, value)};
            }
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (median || single) rates_[name] = value;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nEncoder against its limits (GB/s = 1e9 bytes/s; in place against a copy then a read pass):\n");
        std::printf("%-8s %12s %12s %12s %12s %18s\n", "data", "in_place", "encode_fresh", "memcpy", "read",
                    "ratio");
        for (const char* kind : {"zero", "fill", "random", "mixed"}) {
            const double into = rate("in_place/" + std::string(kind));
            const double fresh = rate("encode_fresh/" + std::string(kind));
            const double mem = rate("memcpy/" + std::string(kind));
            const double read = rate("read_pass/" + std::string(kind));
            // In place includes copying the part in, standing for the read that brings it, then
            // one look at every byte of a uniform block: its limit is a copy followed by a read pass.
            const double limit = mem > 0 && read > 0 ? 1.0 / (1.0 / mem + 1.0 / read) : 0;
            const std::string ratio = into > 0 && limit > 0 ? format("%.2f x copy+read", into / limit) : "-";
            std::printf("%-8s %12.2f %12.2f %12.2f %12.2f %18s\n", kind, into / 1e9, fresh / 1e9, mem / 1e9,
                        read / 1e9, ratio.c_str());
        }
        // Fresh memory costs what the system makes of a first touch, which can vary a lot from one
        // repetition to the next; show the spread behind the median.
        std::printf("encode_fresh per repetition, GB/s:");
        for (const char* kind : {"zero", "fill", "random", "mixed"}) {
            const auto found = ranges_.find("encode_fresh/" + std::string(kind));
            if (found != ranges_.end()) {
                std::printf(" %s %.2f-%.2f", kind, found->second.first / 1e9, found->second.second / 1e9);
            }
        }
        std::printf("\n(rates from CPU time: on a shared machine wall time also counts waiting for a core)\n");
        std::fflush(stdout);
    }

private:
    double rate(const std::string& name) const {
        const auto found = rates_.find(name);
        return found == rates_.end() ? 0 : found->second;
    }

    static std::string format(const char* pattern, double value) {
        char text[64];
        std::snprintf(text, sizeof text, pattern, value);
        return text;
    }

    std::map<std::string, double> rates_;                      // median, or the only run
    std::map<std::string, std::pair<double, double>> ranges_;  // lowest and highest repetition
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> storage;
    std::vector<char*> args = bench_arguments(argc, argv, "0.3", storage);
    // The summary goes with the console format only; --benchmark_color is honoured by hand, since
    // the library applies it only to the reporter it makes itself. Read before Initialize() takes
    // the library's flags out of the list.
    std::string format = "console";
    std::string color = "auto";
    bool tabular = false;
    for (const char* given : args) {
        const std::string arg = given;
        if (arg.starts_with("--benchmark_format=")) format = arg.substr(19);
        if (arg.starts_with("--benchmark_color=")) color = arg.substr(18);
        if (arg.starts_with("--benchmark_counters_tabular=")) tabular = arg.substr(29) == "true";
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    for (const char* kind : {"zero", "fill", "random", "mixed"}) {
        const std::string k = kind;
        benchmark::RegisterBenchmark(("in_place/" + k).c_str(), encode_in_place, k)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("encode_fresh/" + k).c_str(), encode_fresh, k)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("memcpy/" + k).c_str(), copy, k)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("read_pass/" + k).c_str(), read_pass, k)->Unit(benchmark::kMillisecond);
    }
    inputs();  // built before the clock starts on anything

    if (format != "console") {
        benchmark::RunSpecifiedBenchmarks();
    } else {
        const bool use_color = color == "true" || color == "yes" || color == "1" ||
                               ((color == "auto" || color == "default") && isatty(STDOUT_FILENO));
        int options = benchmark::ConsoleReporter::OO_None;
        if (use_color) options |= benchmark::ConsoleReporter::OO_Color;
        if (tabular) options |= benchmark::ConsoleReporter::OO_Tabular;
        SummaryReporter reporter(static_cast<benchmark::ConsoleReporter::OutputOptions>(options));
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }
    benchmark::Shutdown();
    return 0;
}
