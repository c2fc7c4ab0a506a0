// The flight recorder's cost: one poll tick on the in-process scripted
// controller (KVX-2000, 4 axes, run counter moving as on a running
// controller) without and with the recorder writing every tick to a file;
// "cold" evicts the caches before each tick, as a second of other work does
// to a monitor polling at 1 Hz.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/engine_rig.h"
#include "recording/flight_recorder.h"

namespace {

using kvx::bench::EngineRig;
using namespace kvx::recording;

void BM_TickRecorded(benchmark::State& s) {
    EngineRig rig(4, 4);
    const std::string file =
        (std::filesystem::temp_directory_path() / ("kvx-bench-rec-" + std::to_string(::getpid()))).string();
    std::string error;
    std::unique_ptr<FlightRecorder> recorder;
    if (s.range(0)) {
        recorder = FlightRecorder::create({file, 0, 1}, RunInfo{}, error);
        rig.driver.setTap(recorder.get());
    }
    auto tick = [&] {
        if (recorder) recorder->beginSegment(SegmentKind::Tick);
        rig.tick();
        rig.history.afterTick(rig.state, rig.records, rig.summary, rig.model);
        if (recorder) recorder->endSegment();
        rig.takeCallCount();
    };
    for (int i = 0; i < 3; ++i) tick();
    std::vector<std::uint8_t> evict(s.range(1) ? 64u << 20 : 0);
    for (auto _ : s) {
        if (s.range(1)) {
            s.PauseTiming();
            for (std::size_t i = 0; i < evict.size(); i += 64) evict[i] = static_cast<std::uint8_t>(evict[i] + 1);
            s.ResumeTiming();
        }
        tick();
    }
    if (recorder) {
        s.counters["bytes_per_tick"] =
            static_cast<double>(recorder->bytesWritten()) / static_cast<double>(recorder->segmentsWritten());
        rig.driver.setTap(nullptr);
    }
    std::filesystem::remove(file);
}
BENCHMARK(BM_TickRecorded)->ArgsProduct({{0, 1}, {0}})->ArgNames({"recording", "cold"});
// Evicting takes milliseconds a tick: a fixed count keeps the run short.
BENCHMARK(BM_TickRecorded)->ArgsProduct({{0, 1}, {1}})->ArgNames({"recording", "cold"})->Iterations(2000);

}  // namespace

BENCHMARK_MAIN();
