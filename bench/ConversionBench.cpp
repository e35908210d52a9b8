// Throughput of the raw-to-float sample conversion against memcpy.
//
// Each conversion turns a 64 MiB raw buffer (16- or 24-bit, both byte orders,
// mono and stereo) into float channels; its rate is counted in float bytes
// written. A memcpy of the same output size, measured in the same run, is the
// baseline, and the ratios to it are printed at the end.
//
// Rates are taken over CPU time, and by default every benchmark is repeated with
// the repetitions shuffled among each other, the median counting: the build
// machine is shared, and this keeps other processes' load from favouring one side
// of a ratio. Any --benchmark_* flag given on the command line overrides these.
#include "RhRawToFloat.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr size_t kInputBytes = 64u << 20;

constexpr size_t kMaxOutputFloats = kInputBytes / 2;  // 16-bit input

// Buffers shared by all runs, allocated and faulted in once so that repetitions
// measure only the loops: random raw bytes, the float output (which memcpy also
// writes to), and memcpy's source.
struct Buffers {
    std::vector<unsigned char> input = std::vector<unsigned char>(kInputBytes);
    std::vector<float> output = std::vector<float>(kMaxOutputFloats);
    std::vector<float> copySource = std::vector<float>(kMaxOutputFloats, 0.25f);

    Buffers() {
        std::mt19937 rng(12345);
        for (unsigned char& b : input) b = static_cast<unsigned char>(rng());
    }
};

Buffers& buffers() {
    static Buffers b;
    return b;
}

size_t outputBytesFor(int bytesPerSample) { return kInputBytes / bytesPerSample * sizeof(float); }

void convert(benchmark::State& state, int bytesPerSample, int byteOrder, int channels) {
    Buffers& b = buffers();
    const auto frames = static_cast<int32_t>(kInputBytes / (bytesPerSample * channels));
    std::vector<float*> destinations;
    for (int c = 0; c < channels; ++c) destinations.push_back(b.output.data() + static_cast<size_t>(c) * frames);
    for (auto _ : state) {
        RhConvertSamplesRawToFloat(frames, b.input.data(), true, channels, bytesPerSample, byteOrder,
                                   destinations.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * frames * channels *
                            static_cast<int64_t>(sizeof(float)));
}

void copy(benchmark::State& state, size_t bytes) {
    Buffers& b = buffers();
    for (auto _ : state) {
        std::memcpy(b.output.data(), b.copySource.data(), bytes);
        benchmark::DoNotOptimize(b.output.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

struct Pairing {
    std::string conversion;
    std::string baseline;
    double goal;
};

// Collects the output rate of every run (by benchmark name) while printing as usual.
class RateCollector : public benchmark::ConsoleReporter {
public:
    RateCollector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end()) continue;
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Iteration)
                rates_[name].push_back(it->second.value);
            else if (run.aggregate_name == "median")
                medians_[name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Median over repetitions; 0 when the benchmark did not run.
    double rate(const std::string& name) const {
        if (auto m = medians_.find(name); m != medians_.end()) return m->second;
        auto it = rates_.find(name);
        if (it == rates_.end() || it->second.empty()) return 0.0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> rates_;
    std::map<std::string, double> medians_;
};

std::vector<Pairing> registerAll() {
    std::vector<Pairing> pairings;
    const std::string memcpy16 = "memcpy/out_of_16bit";
    const std::string memcpy24 = "memcpy/out_of_24bit";
    for (const auto& [name, size] : {std::pair{memcpy16, outputBytesFor(2)}, std::pair{memcpy24, outputBytesFor(3)}})
        benchmark::RegisterBenchmark(name.c_str(), copy, size)->Unit(benchmark::kMillisecond);

    for (int bytesPerSample : {2, 3}) {
        for (int byteOrder : {0, 1}) {
            for (int channels : {1, 2}) {
                const std::string name = "convert/" + std::to_string(8 * bytesPerSample) + "bit_" +
                                         (byteOrder == 0 ? "big" : "little") + "/" +
                                         (channels == 1 ? "mono" : "stereo");
                benchmark::RegisterBenchmark(name.c_str(), convert, bytesPerSample, byteOrder, channels)
                    ->Unit(benchmark::kMillisecond);
                pairings.push_back({name, bytesPerSample == 2 ? memcpy16 : memcpy24, bytesPerSample == 2 ? 0.8 : 0.5});
            }
        }
    }
    return pairings;
}

void printRatios(const RateCollector& rates, const std::vector<Pairing>& pairings) {
    std::printf("\n%-28s %10s %10s %8s %6s\n", "output rate vs memcpy", "GB/s", "memcpy", "ratio", "goal");
    for (const Pairing& p : pairings) {
        const double rate = rates.rate(p.conversion);
        const double base = rates.rate(p.baseline);
        if (rate <= 0.0 || base <= 0.0) continue;
        std::printf("%-28s %10.2f %10.2f %8.2f %6.2f\n", p.conversion.c_str(), rate / 1e9, base / 1e9, rate / base,
                    p.goal);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Pairing> pairings = registerAll();
    // Defaults go before the user's arguments, so that those win.
    std::vector<char*> args = {argv[0]};
    std::string defaults[] = {"--benchmark_repetitions=5", "--benchmark_min_time=0.2",
                              "--benchmark_enable_random_interleaving=true",
                              "--benchmark_report_aggregates_only=true"};
    for (std::string& d : defaults) args.push_back(d.data());
    args.insert(args.end(), argv + 1, argv + argc);
    argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RateCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter, pairings);
    benchmark::Shutdown();
    return 0;
}
