// The history and trends window on the offscreen platform: the fault table
// and its marks, acknowledging, the events, the chart series, the worst cycle
// time and the report action.
#include <QApplication>
#include <QAreaSeries>
#include <QDateTime>
#include <QHeaderView>
#include <QValueAxis>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <functional>
#include <memory>
#include <string>

#include "history/tick_record.h"
#include "report/fault_classes.h"
#include "support/fixed_clock.h"
#include "platform/plugin.h"
#include "ui/history_plugin.h"
#include "ui/history_window.h"
#include "ui/trend_scope.h"

namespace kvx {

namespace {

TickRecord onlineTick(int second, std::uint32_t maxCycle = 1300) {
    TickRecord t;
    t.time = {2024, 3, 5, 9, second / 60, second % 60};
    t.monotonicMs = second * 1000;
    t.online = true;
    t.sampleTimeUs = 1280;
    t.minCycleUs = 1200;
    t.maxCycleUs = maxCycle;
    t.limits = {895, 1791};
    return t;
}

// Local time of 2024-03-05 h:m:s in milliseconds since the epoch, as the charts use it.
qint64 at(int h, int m, int s) { return QDateTime(QDate(2024, 3, 5), QTime(h, m, s)).toMSecsSinceEpoch(); }

}  // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT

private:
    test::FixedClock clock;
    std::unique_ptr<RunHistory> history;
    DisplayModel model;
    SettingsValues settings;

    std::unique_ptr<HistoryWindow> makeWindow() {
        auto w = std::make_unique<HistoryWindow>(*history, [this] {
            return ReportSources{model, settings, *history, {2024, 3, 5, 10, 0, 0}, "KvxDiagnostics"};
        });
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get())) qWarning("history window not exposed");
        return w;
    }

    // A one-tick emergency out, a task error that stays, a restart, an offline period.
    void feedRun() {
        history->observe(onlineTick(0));
        TickRecord t = onlineTick(10, 1900);
        t.faults = {{"Emergency Out is active! at Axis 1", fault::EmergencyOut}};
        history->observe(t);
        t = onlineTick(20);
        t.faults = {{"Runtime error at Task-2 detected!", fault::taskRuntimeError(2)}};
        t.linkCounters = {0, 0, 0, 0, 0};
        history->observe(t);
        t = onlineTick(70);
        t.faults = {{"Runtime error at Task-2 detected!", fault::taskRuntimeError(2)}};
        t.linkCounters = {0, 0, 4, 0, 0};
        t.restartCount = 1;
        history->observe(t);
        TickRecord off;
        off.time = {2024, 3, 5, 9, 1, 20};
        off.monotonicMs = 80000;
        off.initResult = 34;
        history->observe(off);
        t = onlineTick(90);
        t.faults = {{"Runtime error at Task-2 detected!", fault::taskRuntimeError(2)}};
        t.linkCounters = {0, 0, 4, 0, 0};
        t.restartCount = 1;
        history->observe(t);
    }

private slots:
    void init() { history = std::make_unique<RunHistory>(clock, [] { return std::int64_t{0}; }); }

    void faultTableShowsEveryLineWithItsStateAndReset() {
        feedRun();
        auto w = makeWindow();
        QTreeWidget* table = w->faultTable();
        QCOMPARE(table->topLevelItemCount(), 2);
        QTreeWidgetItem* emergency = table->topLevelItem(0);
        QCOMPARE(emergency->text(HistoryWindow::Fault), QString("Emergency Out is active! at Axis 1"));
        QCOMPARE(emergency->text(HistoryWindow::Class), QString("0x00010"));
        QCOMPARE(emergency->toolTip(HistoryWindow::Class), QString("Emergency out"));
        QCOMPARE(emergency->text(HistoryWindow::FirstSeen), QString("2024/03/05 - 09:00:10"));
        QCOMPARE(emergency->text(HistoryWindow::LastSeen), QString("2024/03/05 - 09:00:10"));
        QCOMPARE(emergency->text(HistoryWindow::Occurrences), QString("1"));
        QCOMPARE(emergency->text(HistoryWindow::State), QString("gone, not acknowledged"));
        QCOMPARE(emergency->text(HistoryWindow::ResetBy), QString("controller"));
        QVERIFY(emergency->font(0).bold());
        QTreeWidgetItem* task = table->topLevelItem(1);
        QCOMPARE(task->text(HistoryWindow::State), QString("active, not acknowledged"));
        QCOMPARE(task->text(HistoryWindow::LastSeen), QString("2024/03/05 - 09:01:30"));
        // Offline ticks end an occurrence: the task error came up twice.
        QCOMPARE(task->text(HistoryWindow::Occurrences), QString("2"));
        QCOMPARE(task->foreground(0).color(), QColor(0xc0, 0x00, 0x00));
    }

    void acknowledgeClearsOnlyTheSelectedMarks() {
        feedRun();
        auto w = makeWindow();
        w->faultTable()->topLevelItem(1)->setSelected(true);
        QTest::mouseClick(w->acknowledgeButton(), Qt::LeftButton);
        QCOMPARE(w->faultTable()->topLevelItem(1)->text(HistoryWindow::State), QString("active"));
        QVERIFY(!w->faultTable()->topLevelItem(1)->font(0).bold());
        QCOMPARE(w->faultTable()->topLevelItem(0)->text(HistoryWindow::State), QString("gone, not acknowledged"));
        QCOMPARE(history->faults().markedCount(), std::size_t{1});
        QVERIFY(w->acknowledgeAllButton()->isEnabled());

        QTest::mouseClick(w->acknowledgeAllButton(), Qt::LeftButton);
        QCOMPARE(history->faults().markedCount(), std::size_t{0});
        QCOMPARE(w->faultTable()->topLevelItem(0)->text(HistoryWindow::State), QString("gone"));
        QVERIFY(!w->acknowledgeAllButton()->isEnabled());
    }

    void eventsListRestartsAndOfflinePeriods() {
        feedRun();
        auto w = makeWindow();
        QTreeWidget* events = w->eventTable();
        QCOMPARE(events->topLevelItemCount(), 2);
        QCOMPARE(events->topLevelItem(0)->text(0), QString("2024/03/05 - 09:01:10"));
        QCOMPARE(events->topLevelItem(0)->text(1), QString("Controller restart"));
        QCOMPARE(events->topLevelItem(1)->text(1), QString("Offline"));
        QCOMPARE(events->topLevelItem(1)->text(2),
                 QString("initialisation result 34, back online 2024/03/05 - 09:01:30"));
    }

    void chartsFollowTheTrendData() {
        feedRun();
        auto w = makeWindow();
        QLineSeries* max = w->series("Max. time");
        QVERIFY(max != nullptr);
        QCOMPARE(max->count(), 5);  // five online ticks
        QCOMPARE(max->at(1), QPointF(at(9, 0, 10), 1900.0));
        QCOMPARE(max->at(4), QPointF(at(9, 1, 30), 1300.0));
        QCOMPARE(w->series("Upper limit")->at(0).y(), 1791.0);
        QCOMPARE(w->series("Lower limit")->at(0).y(), 895.0);
        QCOMPARE(w->band()->upperSeries(), w->series("Upper limit"));
        QCOMPARE(w->band()->lowerSeries(), w->series("Lower limit"));
        QCOMPARE(w->series("Min.  time")->at(2).y(), 1200.0);

        QLineSeries* timeouts = w->series("Timeout");
        QVERIFY(timeouts != nullptr);
        QCOMPARE(timeouts->count(), 4);  // minutes 0 and 1 of the run, a step each
        QCOMPARE(timeouts->at(0), QPointF(at(9, 0, 0), 0.0));
        QCOMPARE(timeouts->at(1), QPointF(at(9, 1, 0), 0.0));
        QCOMPARE(timeouts->at(2), QPointF(at(9, 1, 0), 4.0));
        QCOMPARE(timeouts->at(3), QPointF(at(9, 2, 0), 4.0));
        QCOMPARE(w->worstLabel()->text(),
                 QString("Worst cycle time of the run: 1900 \u00b5s at 2024/03/05 - 09:00:10 (band 895 to 1791 \u00b5s); "
                         "1 ticks out of band."));

        // A new tick, then refresh: the charts grow.
        history->observe(onlineTick(100, 2000));
        w->refresh();
        QCOMPARE(max->count(), 6);
        QVERIFY(w->worstLabel()->text().startsWith("Worst cycle time of the run: 2000 \u00b5s at 2024/03/05 - 09:01:40"));
    }

    // Counters count: ticks at whole numbers; the axis titles fit their charts.
    void counterAxisHasIntegerTicksAndTitlesFit() {
        feedRun();
        auto w = makeWindow();
        w->tabs()->setCurrentIndex(1);
        QTRY_VERIFY(w->counterChart()->plotArea().height() > 50);
        auto* y = qobject_cast<QValueAxis*>(w->counterChart()->axes(Qt::Vertical).value(0));
        QCOMPARE(y->tickType(), QValueAxis::TicksDynamic);
        QCOMPARE(y->tickAnchor(), 0.0);
        QCOMPARE(y->tickInterval(), 1.0);  // the largest increase is 4
        QCOMPARE(y->max(), 5.0);
        QCOMPARE(y->labelFormat(), QString("%d"));
        for (QChart* chart : {w->cycleChart(), w->counterChart()})
            for (QAbstractAxis* axis : chart->axes()) {
                const QFontMetrics fm(axis->titleFont());
                const qreal room = axis->orientation() == Qt::Vertical ? chart->plotArea().height()
                                                                       : chart->plotArea().width();
                QVERIFY2(fm.horizontalAdvance(axis->titleText()) < room, qPrintable(axis->titleText()));
            }
    }

    // The time axis fits the data until an hour has passed.
    void scopeFitsZoomsAndReads() {
        feedRun();
        auto w = makeWindow();
        w->tabs()->setCurrentIndex(1);
        TrendScope* scope = w->cycleScope();
        QTRY_VERIFY(scope->chart()->plotArea().width() > 100);
        QCOMPARE(scope->shownFrom(), at(9, 0, 0));
        QCOMPARE(scope->shownTo(), at(9, 1, 30));

        // Zoomed (on screen by the wheel, see the screenshot tests), a view
        // stays put as ticks come in; a double-click fits both charts again.
        scope->showRange(at(9, 0, 5), at(9, 0, 50));
        history->observe(onlineTick(100));
        w->refresh();
        QCOMPARE(scope->shownTo(), at(9, 0, 50));
        const QPoint point(scope->xOf(at(9, 0, 10)), static_cast<int>(scope->chart()->plotArea().center().y()));
        QTest::mouseDClick(scope->viewport(), Qt::LeftButton, {}, point);
        QVERIFY(scope->following());
        QVERIFY(w->counterScope()->following());
        QCOMPARE(scope->shownTo(), at(9, 1, 40));

        // An hour on: the hour the trends keep, no more.
        TickRecord later = onlineTick(0);
        later.time = {2024, 3, 5, 10, 0, 0};
        later.monotonicMs = 3'600'000;
        history->observe(later);
        w->refresh();
        QCOMPARE(scope->shownFrom(), at(9, 0, 10));
        QCOMPARE(scope->shownTo(), at(10, 0, 0));
    }

    // Every occurrence of a fault, every restart and offline period.
    void faultsAndEventsAreMarkedOnTheTimeAxis() {
        feedRun();
        auto w = makeWindow();
        QStringList marks;
        for (const TrendScope::Mark& m : w->cycleScope()->marks())
            marks << QDateTime::fromMSecsSinceEpoch(m.ms).toString("hh:mm:ss ") + m.text;
        QCOMPARE(marks, (QStringList{"09:00:10 Emergency Out is active! at Axis 1",
                                     "09:00:20 Runtime error at Task-2 detected!", "09:01:10 Controller restart",
                                     "09:01:20 Offline (initialisation result 34)",
                                     "09:01:30 Runtime error at Task-2 detected!"}));
    }

    void opensAtASizeThatShowsEveryColumn() {
        feedRun();
        auto w = makeWindow();
        QTreeWidget* table = w->faultTable();
        int right = 0;
        for (int c = 0; c < HistoryWindow::ColumnCount; ++c)
            right = std::max(right, table->header()->sectionViewportPosition(c) + table->header()->sectionSizeHint(c));
        QVERIFY2(right <= table->viewport()->width(), qPrintable(QString::number(right)));
    }

    void emptyHistoryShowsNoData() {
        auto w = makeWindow();
        QCOMPARE(w->faultTable()->topLevelItemCount(), 0);
        QCOMPARE(w->series("Max. time")->count(), 0);
        QCOMPARE(w->worstLabel()->text(), QString("No cycle times yet: the controller has not been online."));
        QCOMPARE(w->tabs()->tabText(0), QString("Fault history"));
        QCOMPARE(w->tabs()->tabText(1), QString("Trends"));
    }

    void reportButtonWritesBothFiles() {
        feedRun();
        auto w = makeWindow();
        QTemporaryDir dir;
        const QString path = dir.filePath("report.html");
        w->setReportPathChooser([path] { return path; });
        QTest::mouseClick(w->reportButton(), Qt::LeftButton);
        QVERIFY(QFile::exists(path));
        QVERIFY(QFile::exists(dir.filePath("report.txt")));
        QCOMPARE(w->statusLabel()->text(), "Report written to " + path + " and " + dir.filePath("report.txt"));
        QFile html(path);
        QVERIFY(html.open(QIODevice::ReadOnly));
        QVERIFY(html.readAll().contains("<td>Runtime error at Task-2 detected!</td>"));

        // Cancelled: nothing written, the status stays.
        w->setReportPathChooser([] { return QString(); });
        QFile::remove(path);
        QTest::mouseClick(w->reportButton(), Qt::LeftButton);
        QVERIFY(!QFile::exists(path));

        QVERIFY(!w->writeReport(dir.filePath("missing/report.html")));
        QCOMPARE(w->statusLabel()->text(), "Cannot write " + dir.filePath("missing/report.html"));
    }

    // The window front end gets the window from its plugin, at the first opening.
    void pluginBringsUpTheWindowOnTheRunHistory() {
        feedRun();
        std::string error;
        void* plugin = loadPlugin(KVX_HISTORY_PLUGIN_FILE, error);
        QVERIFY2(plugin, error.c_str());
        auto create = reinterpret_cast<decltype(&kvxdiag_create_history_window)>(
            pluginSymbol(plugin, KVX_HISTORY_PLUGIN_ENTRY, error));
        QVERIFY2(create, error.c_str());
        const std::function<ReportSources()> sources = [this] {
            return ReportSources{model, settings, *history, {2024, 3, 5, 10, 0, 0}, "KvxDiagnostics"};
        };
        std::unique_ptr<HistoryPanel> panel(create(history.get(), &sources));
        QCOMPARE(panel->visible(), false);
        // The place kept in the settings comes back; a damaged text is ignored.
        panel->setGeometry("100,80,1010,730");
        panel->setGeometry("100,80,wide,730");
        QCOMPARE(panel->geometry(), std::string("100,80,1010,730"));
        panel->bringUp();
        QCOMPARE(panel->visible(), true);
        // The fault table of the window the plugin made, filled from the run history.
        QTreeWidget* table = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible())
                for (QTreeWidget* t : w->findChildren<QTreeWidget*>())
                    if (t->columnCount() == HistoryWindow::ColumnCount) table = t;
        QVERIFY(table);
        QCOMPARE(table->topLevelItemCount(), 2);
        QCOMPARE(table->topLevelItem(0)->text(HistoryWindow::Fault), QString("Emergency Out is active! at Axis 1"));
        QCOMPARE(table->topLevelItem(1)->text(HistoryWindow::Occurrences), QString("2"));
        panel->close();
        QCOMPARE(panel->visible(), false);
    }
};

}  // namespace kvx

QTEST_MAIN(kvx::HistoryWindowTest)
#include "history_window_test.moc"
