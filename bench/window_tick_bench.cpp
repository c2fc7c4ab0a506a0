// The window's share of a tick: the engine tick alone and the engine tick
// followed by the window's render and the repaint it causes, on the offscreen
// platform (set QT_QPA_PLATFORM=offscreen, as scripts/bench.sh does). The
// scripted controller flaps between a fault and none, so every window tick
// changes texts and colours.
#include <benchmark/benchmark.h>

#include <QApplication>

#include "bench/engine_rig.h"
#include "display/window_actions.h"
#include "ui/main_window.h"

namespace {

struct NoActions final : kvx::WindowActions {
    void cbCardNrChange(int) override {}
    void buRebootClick() override {}
    void meErrorSummaryDblClick() override {}
    void cbStayOnTopChange(int) override {}
    void cbUseWebServicesClick(bool) override {}
    void cbGetFileNamesClick(bool) override {}
};

void flap(kvx::bench::EngineRig& rig, std::uint32_t& state) {
    state ^= 0x2;
    rig.scripted.controller.axisState[1] = state;
}

void BM_EngineTickFlapping(benchmark::State& s) {
    kvx::bench::EngineRig rig(4, 4);
    std::uint32_t state = 0;
    for (int i = 0; i < 3; ++i) rig.tick();
    for (auto _ : s) {
        flap(rig, state);
        rig.tick();
        rig.takeCallCount();
    }
}
BENCHMARK(BM_EngineTickFlapping)->UseRealTime();

void BM_WindowTick(benchmark::State& s) {
    kvx::bench::EngineRig rig(4, 4);
    NoActions actions;
    kvx::MainWindow window(rig.model, actions);
    std::uint32_t state = 0;
    for (int i = 0; i < 3; ++i) rig.tick();
    window.render();
    window.show();
    QApplication::processEvents();
    for (auto _ : s) {
        flap(rig, state);
        rig.tick();
        rig.takeCallCount();
        window.render();
        QApplication::processEvents();  // the repaint the changes asked for
    }
}
BENCHMARK(BM_WindowTick)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
