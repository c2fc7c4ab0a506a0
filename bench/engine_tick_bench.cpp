// The cost of one poll tick without a window, on the in-process scripted
// controller: per board type and axis count, against the axis count, against
// the size of the protocol file and against the length of the run.
//
//   engine_tick_bench [benchmark options]
//   engine_tick_bench --instructions BOARD AXES TICKS
//       runs TICKS steady ticks with callgrind's collection switched on only
//       inside the tick; run it under
//       valgrind --tool=callgrind --collect-atstart=no
#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/engine_rig.h"

namespace {

using kvx::bench::EngineRig;

// Steady state: the first tick runs the went-online steps.
constexpr int kWarmUpTicks = 3;

void BM_EngineTick(benchmark::State& s) {
    EngineRig rig(static_cast<std::int32_t>(s.range(0)), static_cast<int>(s.range(1)));
    for (int i = 0; i < kWarmUpTicks; ++i) rig.tick();
    rig.takeCallCount();
    std::size_t calls = 0;
    for (auto _ : s) {
        rig.tick();
        calls = rig.takeCallCount();
    }
    s.counters["driver_calls"] = static_cast<double>(calls);
    s.counters["faults"] = static_cast<double>(rig.summary.faultCount());
}
BENCHMARK(BM_EngineTick)->ArgsProduct({{4, 8}, {1, 4, 18}})->ArgNames({"board", "axes"});

// Growth against the axis count: the fitted complexity should be linear.
void BM_EngineTickByAxes(benchmark::State& s) {
    EngineRig rig(4, static_cast<int>(s.range(0)));
    for (int i = 0; i < kWarmUpTicks; ++i) rig.tick();
    rig.takeCallCount();
    for (auto _ : s) {
        rig.tick();
        rig.takeCallCount();
    }
    s.SetComplexityN(s.range(0));
}
BENCHMARK(BM_EngineTickByAxes)->DenseRange(1, 18, 1)->ArgName("axes")->Complexity(benchmark::oN);

// A protocol file that already holds `range(0)` MB. The controller flaps
// between a fault and none, so every other tick appends a summary block.
void BM_EngineTickProtocolSize(benchmark::State& s) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("kvx-bench-protocol-" + std::to_string(::getpid()) + ".txt");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const std::string line(99, 'x');
        const std::int64_t lines = s.range(0) * 1024 * 1024 / 100;
        for (std::int64_t i = 0; i < lines; ++i) out << line << '\n';
    }
    {
        EngineRig rig(4, 4, path.string());
        for (int i = 0; i < kWarmUpTicks; ++i) rig.tick();
        std::uint32_t flap = 0;
        for (auto _ : s) {
            flap ^= 0x10;
            rig.scripted.controller.errorRegister = static_cast<std::int32_t>(flap);
            rig.tick();
            rig.takeCallCount();
        }
        s.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(path)) / (1024.0 * 1024.0);
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_EngineTickProtocolSize)->Arg(0)->Arg(100)->ArgName("MB")->Iterations(20000);

// The tick and the run's history after `range(0)` ticks. An emergency-out
// fault comes and goes every ten ticks, so the fault history keeps growing.
void BM_EngineTickAfterRun(benchmark::State& s) {
    EngineRig rig(4, 4);
    std::int64_t n = 0;
    auto one = [&] {
        rig.scripted.controller.axisState[1] = (n++ / 10) % 2 ? 0x2u : 0u;
        rig.tick();
        rig.history.afterTick(rig.state, rig.records, rig.summary, rig.model);
        rig.takeCallCount();
    };
    for (std::int64_t i = 0; i < s.range(0); ++i) one();
    for (auto _ : s) one();
    s.counters["ticks_before"] = static_cast<double>(s.range(0));
}
BENCHMARK(BM_EngineTickAfterRun)->Arg(1000)->Arg(100000)->ArgName("ticks")->Iterations(2000);

int instructions(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: engine_tick_bench --instructions BOARD AXES TICKS\n");
        return 2;
    }
    EngineRig rig(std::atoi(argv[2]), std::atoi(argv[3]));
    const int ticks = std::atoi(argv[4]);
    for (int i = 0; i < kWarmUpTicks; ++i) rig.tick();
    rig.takeCallCount();
    for (int i = 0; i < ticks; ++i) {
        CALLGRIND_TOGGLE_COLLECT;
        rig.tick();
        CALLGRIND_TOGGLE_COLLECT;
        rig.takeCallCount();
    }
    std::printf("%d ticks, board %s, %s axes\n", ticks, argv[2], argv[3]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--instructions") == 0) return instructions(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
