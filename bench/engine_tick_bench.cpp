// The cost of one poll tick without a window, on the in-process scripted
// controller: per board type and axis count, against the axis count, against
// the size of the protocol file and against the length of the run.
//
//   engine_tick_bench [benchmark options]
//   engine_tick_bench --instructions BOARD AXES TICKS
//   engine_tick_bench --instructions-protocol MB TICKS
//   engine_tick_bench --instructions-run BEFORE TICKS
//       run TICKS steady ticks (on board 4 with 4 axes, a protocol file of MB
//       megabytes, or after BEFORE ticks of a run with its history) with
//       callgrind's collection switched on only inside the tick; run them under
//       valgrind --tool=callgrind --instr-atstart=no --collect-atstart=no
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
std::filesystem::path protocolFileOf(std::int64_t megabytes) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("kvx-bench-protocol-" + std::to_string(::getpid()) + ".txt");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string line(99, 'x');
    const std::int64_t lines = megabytes * 1024 * 1024 / 100;
    for (std::int64_t i = 0; i < lines; ++i) out << line << '\n';
    return path;
}

// One tick of the flapping controller: every other tick writes a block.
void flappingTick(EngineRig& rig, std::uint32_t& flap) {
    flap ^= 0x10;
    rig.scripted.controller.errorRegister = static_cast<std::int32_t>(flap);
    rig.tick();
    rig.takeCallCount();
}

void BM_EngineTickProtocolSize(benchmark::State& s) {
    const auto path = protocolFileOf(s.range(0));
    {
        EngineRig rig(4, 4, path.string());
        for (int i = 0; i < kWarmUpTicks; ++i) rig.tick();
        std::uint32_t flap = 0;
        for (auto _ : s) flappingTick(rig, flap);
        s.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(path)) / (1024.0 * 1024.0);
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_EngineTickProtocolSize)->Arg(0)->Arg(100)->ArgName("MB")->Iterations(20000);

// The tick and the run's history after `range(0)` ticks. An emergency-out
// fault comes and goes every ten ticks, so the fault history keeps growing.
void runTick(EngineRig& rig, std::int64_t& n) {
    rig.scripted.controller.axisState[1] = (n++ / 10) % 2 ? 0x2u : 0u;
    rig.tick();
    rig.history.afterTick(rig.state, rig.records, rig.summary, rig.model);
    rig.takeCallCount();
}

void BM_EngineTickAfterRun(benchmark::State& s) {
    EngineRig rig(4, 4);
    std::int64_t n = 0;
    for (std::int64_t i = 0; i < s.range(0); ++i) runTick(rig, n);
    for (auto _ : s) runTick(rig, n);
    s.counters["ticks_before"] = static_cast<double>(s.range(0));
}
BENCHMARK(BM_EngineTickAfterRun)->Arg(1000)->Arg(100000)->ArgName("ticks")->Iterations(2000);

// Counts `ticks` calls of `tick` and nothing around them.
template <typename Tick>
void countTicks(int ticks, Tick tick) {
    CALLGRIND_START_INSTRUMENTATION;
    for (int i = 0; i < ticks; ++i) {
        CALLGRIND_TOGGLE_COLLECT;
        tick();
        CALLGRIND_TOGGLE_COLLECT;
    }
}

int instructions(int argc, char** argv) {
    const std::string mode = argv[1];
    if (mode == "--instructions" && argc == 5) {
        EngineRig rig(std::atoi(argv[2]), std::atoi(argv[3]));
        for (int i = 0; i < kWarmUpTicks; ++i) rig.tick();
        rig.takeCallCount();
        countTicks(std::atoi(argv[4]), [&] {
            rig.tick();
            rig.takeCallCount();
        });
        return 0;
    }
    if (mode == "--instructions-protocol" && argc == 4) {
        const auto path = protocolFileOf(std::atoll(argv[2]));
        {
            EngineRig rig(4, 4, path.string());
            for (int i = 0; i < kWarmUpTicks; ++i) rig.tick();
            std::uint32_t flap = 0;
            countTicks(std::atoi(argv[3]), [&] { flappingTick(rig, flap); });
        }
        std::filesystem::remove(path);
        return 0;
    }
    if (mode == "--instructions-run" && argc == 4) {
        EngineRig rig(4, 4);
        std::int64_t n = 0;
        for (std::int64_t i = 0, before = std::atoll(argv[2]); i < before; ++i) runTick(rig, n);
        countTicks(std::atoi(argv[3]), [&] { runTick(rig, n); });
        return 0;
    }
    std::fprintf(stderr,
                 "usage: engine_tick_bench --instructions BOARD AXES TICKS\n"
                 "       engine_tick_bench --instructions-protocol MB TICKS\n"
                 "       engine_tick_bench --instructions-run BEFORE TICKS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strncmp(argv[1], "--instructions", 14) == 0) return instructions(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
