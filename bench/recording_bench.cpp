// The flight recorder's cost: one poll tick on the in-process scripted
// controller (KVX-2000, 4 axes, run counter moving as on a running
// controller) without and with the recorder writing every tick to a file,
// with the caches warm and cold.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/engine_rig.h"
#include "recording/flight_recorder.h"

namespace {

using kvx::bench::EngineRig;
using namespace kvx::recording;

// The rig with a recorder writing to a file of its own, attached to the
// driver facade for the ticks it records.
struct RecordedRig {
    RecordedRig()
        : file((std::filesystem::temp_directory_path() / ("kvx-bench-rec-" + std::to_string(::getpid()))).string()) {
        std::string error;
        recorder = FlightRecorder::create({file, 0, 1}, RunInfo{}, error);
        for (int i = 0; i < 3; ++i) tick(true);
    }
    ~RecordedRig() {
        rig.driver.setTap(nullptr);
        recorder.reset();
        std::filesystem::remove(file);
    }
    void tick(bool recorded) {
        rig.driver.setTap(recorded ? recorder.get() : nullptr);
        if (recorded) recorder->beginSegment(SegmentKind::Tick);
        rig.tick();
        rig.history.afterTick(rig.state, rig.records, rig.summary, rig.model);
        if (recorded) recorder->endSegment();
        rig.takeCallCount();
    }

    EngineRig rig{4, 4};
    std::string file;
    std::unique_ptr<FlightRecorder> recorder;
};

void BM_TickRecorded(benchmark::State& s) {
    RecordedRig r;
    const bool recorded = s.range(0) != 0;
    for (auto _ : s) r.tick(recorded);
    if (recorded)
        s.counters["bytes_per_tick"] =
            static_cast<double>(r.recorder->bytesWritten()) / static_cast<double>(r.recorder->segmentsWritten());
}
BENCHMARK(BM_TickRecorded)->Arg(0)->Arg(1)->ArgName("recording");

// A tick with its caches cold, as a second of other work leaves them for a
// monitor at 1 Hz: before each tick 64 MB are written. Plain and recorded
// ticks take turns, so that both meet the same machine; the time is the
// recorded tick's, the counters give both and the difference.
void BM_ColdTickPair(benchmark::State& s) {
    RecordedRig r;
    std::vector<std::uint8_t> evict(64u << 20);
    auto cold = [&](bool recorded) {
        for (std::size_t i = 0; i < evict.size(); i += 64) evict[i] = static_cast<std::uint8_t>(evict[i] + 1);
        const auto t0 = std::chrono::steady_clock::now();
        r.tick(recorded);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    double plainSeconds = 0, recordingSeconds = 0;
    bool plainFirst = true;
    for (auto _ : s) {
        const double first = cold(!plainFirst);
        const double second = cold(plainFirst);
        const double plain = plainFirst ? first : second, recorded = plainFirst ? second : first;
        plainSeconds += plain;
        recordingSeconds += recorded;
        s.SetIterationTime(recorded);
        plainFirst = !plainFirst;
    }
    const auto perTick = benchmark::Counter::kAvgIterations;
    s.counters["plain_us"] = benchmark::Counter(plainSeconds * 1e6, perTick);
    s.counters["recording_us"] = benchmark::Counter(recordingSeconds * 1e6, perTick);
    s.counters["added_us"] = benchmark::Counter((recordingSeconds - plainSeconds) * 1e6, perTick);
}
// Evicting takes milliseconds a tick: a fixed count keeps the run short.
BENCHMARK(BM_ColdTickPair)->UseManualTime()->Iterations(1500);

}  // namespace

BENCHMARK_MAIN();
