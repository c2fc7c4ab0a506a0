// The trends as a scope on a real X server: the pointer moved and the wheel
// turned by xdotool over the cycle-time chart of twenty minutes with a timing
// spike; the span shrinks round the pointer in both charts and the cursor
// reads the spike and the fault that came with it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QTabWidget>
#include <QTest>

#include "history/run_history.h"
#include "report/fault_classes.h"
#include "screen/screen_session.h"
#include "ui/history_window.h"
#include "ui/trend_scope.h"

namespace kvx::screen {

ScreenSession& session();

namespace {

class StillClock final : public Clock {
public:
    LocalTime now() override { return {2024, 3, 5, 9, 20, 0}; }
    void sleepMs(int) override {}
};

// Twenty minutes of ticks every five seconds; at 09:12:05 the longest cycle
// time jumps out of its band.
void feed(RunHistory& history) {
    for (int s = 0; s <= 1200; s += 5) {
        TickRecord t;
        t.time = {2024, 3, 5, 9, s / 60, s % 60};
        t.monotonicMs = s * 1000;
        t.online = true;
        t.sampleTimeUs = 1280;
        t.limits = timingLimits(1280);
        t.minCycleUs = 1190 + static_cast<std::uint32_t>(s % 13);
        t.maxCycleUs = s == 725 ? 1862 : 1320 + static_cast<std::uint32_t>(s % 29);
        if (t.maxCycleUs > t.limits.upper) t.faults.push_back({"Timing Errors detected!", fault::Timing});
        for (const auto& f : t.faults) t.faultMask |= f.faultClass;
        history.observe(t);
    }
}

qint64 at(int h, int m, int s) { return QDateTime(QDate(2024, 3, 5), QTime(h, m, s)).toMSecsSinceEpoch(); }

}  // namespace

TEST(ScopeOnScreen, WheelZoomsRoundThePointerAndTheCursorReadsTheSpike) {
    ASSERT_TRUE(session().ok());
    StillClock clock;
    RunHistory history(clock, [] { return std::int64_t{0}; });
    feed(history);
    DisplayModel model;
    SettingsValues settings;
    HistoryWindow window(history, [&] { return ReportSources{model, settings, history, clock.now(), "KvxDiagnostics"}; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.tabs()->setCurrentIndex(1);
    TrendScope* scope = window.cycleScope();
    QTRY_VERIFY(scope->chart()->plotArea().width() > 300);
    ASSERT_TRUE(scope->following());
    EXPECT_EQ(scope->shownFrom(), at(9, 0, 0));
    EXPECT_EQ(scope->shownTo(), at(9, 20, 0));
    QTest::qWait(300);
    saveShot(window.grab().toImage(), "history-trends-fitted.png");

    const qint64 spike = at(9, 12, 5);
    const QPoint point = scope->viewport()->mapToGlobal(
        QPoint(scope->xOf(spike), scope->mapFromScene(scope->chart()->plotArea().center()).y()));
    session().xdotool({"mousemove", "--sync", std::to_string(point.x()), std::to_string(point.y())});
    for (int notch = 0; notch < 3; ++notch) session().xdotool({"click", "4"});
    QTRY_VERIFY(!scope->following());
    QTest::qWait(300);
    saveShot(window.grab().toImage(), "history-trends-zoomed.png");

    // Three notches: 0.8^3 of twenty minutes, the spike where it was under the pointer.
    const double span = static_cast<double>(scope->shownTo() - scope->shownFrom());
    EXPECT_NEAR(span, 0.512 * 1'200'000, 30'000);
    const double share = static_cast<double>(spike - scope->shownFrom()) / span;
    EXPECT_NEAR(share, static_cast<double>(spike - at(9, 0, 0)) / 1'200'000, 0.02);
    EXPECT_EQ(window.counterScope()->shownFrom(), scope->shownFrom());
    EXPECT_EQ(window.counterScope()->shownTo(), scope->shownTo());

    const QStringList lines = window.cursorLabel()->text().split('\n');
    EXPECT_EQ(lines.value(0), "09:12:05  max. time 1862 \u00b5s, min. time 1200 \u00b5s, band 895 to 1791 \u00b5s");
    EXPECT_EQ(lines.value(2), "09:12:05 Timing Errors detected!");
}

}  // namespace kvx::screen
