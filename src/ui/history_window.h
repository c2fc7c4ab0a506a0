// The second window beside the main window: the run's fault history with its
// events, the trends of the last hour (cycle times against their band, link
// counter increases per minute, the worst cycle time) and the action that
// writes the service report. It reads the run history the monitor keeps and
// never talks to the controller: acknowledging only clears marks.
#pragma once

#include <QWidget>

#include <QList>

#include <functional>
#include <optional>

#include "history/run_history.h"
#include "service_report/service_report.h"

class QAreaSeries;
class QChart;
class QLabel;
class QLineSeries;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace kvx {

class TrendScope;

class HistoryWindow : public QWidget {
    Q_OBJECT

public:
    // Columns of the fault table.
    enum Column { Fault, Class, FirstSeen, LastSeen, Occurrences, State, ResetBy, ColumnCount };

    // `sources` gives what the report needs at the moment it is written.
    HistoryWindow(RunHistory& history, std::function<ReportSources()> sources, QWidget* parent = nullptr);

    // Rebuilds the tables and charts from the history (after every tick).
    void refresh();

    // Wide enough for every column of the fault table, tall enough for the
    // trend charts.
    QSize fittingSize() const;

    // Asks where to save the report; answers "" when the user cancels.
    // Tests replace it so that no dialog opens.
    void setReportPathChooser(std::function<QString()> chooser) { chooseReportPath_ = std::move(chooser); }

    // Writes the report to `htmlPath` (and its .txt); the outcome shows in the status line.
    bool writeReport(const QString& htmlPath);

    QTreeWidget* faultTable() const { return faults_; }
    QTreeWidget* eventTable() const { return events_; }
    QTabWidget* tabs() const { return tabs_; }
    QChart* cycleChart() const { return cycleChart_; }
    QChart* counterChart() const { return counterChart_; }
    QLabel* worstLabel() const { return worst_; }
    TrendScope* cycleScope() const { return cycleView_; }
    TrendScope* counterScope() const { return counterView_; }
    // What the cursor reads: the samples at its time and the marks near it.
    QLabel* cursorLabel() const { return cursorLabel_; }
    QLabel* statusLabel() const { return status_; }
    QPushButton* acknowledgeButton() const { return acknowledge_; }
    QPushButton* acknowledgeAllButton() const { return acknowledgeAll_; }
    QPushButton* reportButton() const { return report_; }

    // Series of the cycle chart and the counter chart, by name; "Upper limit"
    // and "Lower limit" are the edges of the band.
    QLineSeries* series(const QString& name) const;
    QAreaSeries* band() const { return band_; }

private:
    void fillFaults();
    void fillEvents();
    void fillCharts();
    void fillMarks();
    void showCursor(std::optional<qint64> ms);
    // Local time in milliseconds since the epoch for a monotonic time of the run.
    qint64 localMs(std::int64_t monotonicMs) const;
    void acknowledgeSelected();
    void reportClicked();

    RunHistory& history_;
    std::function<ReportSources()> sources_;
    std::function<QString()> chooseReportPath_;

    QTabWidget* tabs_ = nullptr;
    QTreeWidget* faults_ = nullptr;
    QTreeWidget* events_ = nullptr;
    QPushButton* acknowledge_ = nullptr;
    QPushButton* acknowledgeAll_ = nullptr;
    QPushButton* report_ = nullptr;
    QLabel* summaryLine_ = nullptr;
    QLabel* worst_ = nullptr;
    QLabel* status_ = nullptr;
    QChart* cycleChart_ = nullptr;
    QChart* counterChart_ = nullptr;
    TrendScope* cycleView_ = nullptr;
    TrendScope* counterView_ = nullptr;
    QAreaSeries* band_ = nullptr;
    QLineSeries* upper_ = nullptr;
    QLineSeries* lower_ = nullptr;
    QLabel* cursorLabel_ = nullptr;
    // Local time of the newest sample, against its monotonic time.
    qint64 anchorLocalMs_ = 0;
    std::int64_t anchorMonotonicMs_ = 0;
};

}  // namespace kvx
