// The flight recorder's cost: one poll tick on the in-process scripted
// controller (KVX-2000, 4 axes, run counter moving as on a running
// controller) without and with the recorder writing every tick to a file.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

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
    for (auto _ : s) tick();
    if (recorder) {
        s.counters["bytes_per_tick"] =
            static_cast<double>(recorder->bytesWritten()) / static_cast<double>(recorder->segmentsWritten());
        rig.driver.setTap(nullptr);
    }
    std::filesystem::remove(file);
}
BENCHMARK(BM_TickRecorded)->Arg(0)->Arg(1)->ArgName("recording");

}  // namespace

BENCHMARK_MAIN();
