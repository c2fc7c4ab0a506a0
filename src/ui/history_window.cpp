#include "ui/history_window.h"

#include <QBoxLayout>
#include <QChart>
#include <QChartView>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QPen>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QValueAxis>

#include <algorithm>

#include "report/protocol_file.h"

namespace kvx {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

QString timeText(const LocalTime& t) { return qs(formatTimestamp(t)); }

QLineSeries* makeSeries(QChart* chart, const QString& name, const QColor& colour, Qt::PenStyle style = Qt::SolidLine) {
    auto* s = new QLineSeries(chart);
    s->setName(name);
    s->setObjectName(name);
    QPen pen(colour);
    pen.setWidthF(style == Qt::SolidLine ? 1.6 : 1.2);
    pen.setStyle(style);
    s->setPen(pen);
    chart->addSeries(s);
    return s;
}

QChart* makeChart(const QString& title, const QString& yTitle, QValueAxis*& x, QValueAxis*& y) {
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    x = new QValueAxis(chart);
    x->setTitleText("minutes before the last tick");
    x->setRange(-60, 0);
    x->setTickCount(7);
    x->setLabelFormat("%d");
    y = new QValueAxis(chart);
    y->setTitleText(yTitle);
    y->setLabelFormat("%d");
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    return chart;
}

const QColor kCounterColours[kLinkCounterCount] = {QColor(0xc0, 0x00, 0x00), QColor(0xe0, 0x80, 0x00),
                                                   QColor(0x80, 0x00, 0xa0), QColor(0x00, 0x70, 0xc0),
                                                   QColor(0x30, 0x90, 0x30)};

}  // namespace

HistoryWindow::HistoryWindow(RunHistory& history, std::function<ReportSources()> sources, QWidget* parent)
    : QWidget(parent), history_(history), sources_(std::move(sources)) {
    setWindowTitle("KvxDiagnostics - History and Trends");
    setObjectName("HistoryWindow");
    resize(900, 620);
    chooseReportPath_ = [this] {
        return QFileDialog::getSaveFileName(this, "Write service report", "KvxServiceReport.html",
                                            "HTML files (*.html);;All files (*)");
    };

    auto* outer = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    outer->addWidget(tabs_);

    // Fault history and events.
    auto* historyPage = new QWidget(tabs_);
    auto* hl = new QVBoxLayout(historyPage);
    summaryLine_ = new QLabel(historyPage);
    hl->addWidget(summaryLine_);
    faults_ = new QTreeWidget(historyPage);
    faults_->setObjectName("twFaultHistory");
    faults_->setRootIsDecorated(false);
    faults_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    faults_->setHeaderLabels({"Fault", "Class", "First seen", "Last seen", "Occurrences", "State", "Reset by"});
    faults_->header()->setStretchLastSection(true);
    hl->addWidget(faults_, 3);
    auto* buttons = new QHBoxLayout;
    acknowledge_ = new QPushButton("Acknowledge", historyPage);
    acknowledgeAll_ = new QPushButton("Acknowledge all", historyPage);
    acknowledge_->setToolTip("Clears the mark of the selected entries; the controller is not touched.");
    buttons->addWidget(acknowledge_);
    buttons->addWidget(acknowledgeAll_);
    buttons->addStretch();
    hl->addLayout(buttons);
    hl->addWidget(new QLabel("Controller restarts and offline periods:", historyPage));
    events_ = new QTreeWidget(historyPage);
    events_->setObjectName("twEvents");
    events_->setRootIsDecorated(false);
    events_->setHeaderLabels({"Time", "Event", "Detail"});
    hl->addWidget(events_, 1);
    tabs_->addTab(historyPage, "Fault history");

    // Trends.
    auto* trendPage = new QWidget(tabs_);
    auto* tl = new QVBoxLayout(trendPage);
    QValueAxis *x1, *y1, *x2, *y2;
    cycleChart_ = makeChart("Cycle times (us) against the band of the sample time", "us", x1, y1);
    for (auto* s : {makeSeries(cycleChart_, "Max. time", QColor(0xc0, 0x00, 0x00)),
                    makeSeries(cycleChart_, "Min.  time", QColor(0x00, 0x00, 0xc0)),
                    makeSeries(cycleChart_, "Upper limit", QColor(0x30, 0x90, 0x30), Qt::DashLine),
                    makeSeries(cycleChart_, "Lower limit", QColor(0x30, 0x90, 0x30), Qt::DashLine)}) {
        s->attachAxis(x1);
        s->attachAxis(y1);
    }
    counterChart_ = makeChart("Link error counters: increase per minute", "per minute", x2, y2);
    for (int i = 0; i < kLinkCounterCount; ++i) {
        auto* s = makeSeries(counterChart_, linkCounterTitle(i), kCounterColours[i]);
        s->setPointsVisible(true);
        s->attachAxis(x2);
        s->attachAxis(y2);
    }
    cycleView_ = new QChartView(cycleChart_, trendPage);
    cycleView_->setRenderHint(QPainter::Antialiasing);
    counterView_ = new QChartView(counterChart_, trendPage);
    counterView_->setRenderHint(QPainter::Antialiasing);
    worst_ = new QLabel(trendPage);
    worst_->setObjectName("laWorstCycleTime");
    tl->addWidget(cycleView_, 3);
    tl->addWidget(worst_);
    tl->addWidget(counterView_, 2);
    tabs_->addTab(trendPage, "Trends");

    auto* bottom = new QHBoxLayout;
    report_ = new QPushButton("Service report...", this);
    report_->setToolTip("Writes the service report as HTML and as plain text.");
    status_ = new QLabel(this);
    bottom->addWidget(report_);
    bottom->addWidget(status_, 1);
    outer->addLayout(bottom);

    connect(acknowledge_, &QPushButton::clicked, this, [this] { acknowledgeSelected(); });
    connect(acknowledgeAll_, &QPushButton::clicked, this, [this] {
        history_.faults().acknowledgeAll();
        refresh();
    });
    connect(report_, &QPushButton::clicked, this, [this] { reportClicked(); });
    refresh();
}

QLineSeries* HistoryWindow::series(const QString& name) const {
    for (QChart* chart : {cycleChart_, counterChart_})
        for (QAbstractSeries* s : chart->series())
            if (s->name() == name) return qobject_cast<QLineSeries*>(s);
    return nullptr;
}

void HistoryWindow::refresh() {
    fillFaults();
    fillEvents();
    fillCharts();
}

void HistoryWindow::fillFaults() {
    const FaultHistory& h = history_.faults();
    // Keep the selection over the rebuild: entries never move.
    std::vector<int> selected;
    for (QTreeWidgetItem* item : faults_->selectedItems()) selected.push_back(faults_->indexOfTopLevelItem(item));

    faults_->clear();
    for (const FaultEntry& e : h.entries()) {
        QString state = e.active ? "active" : "gone";
        if (e.marked) state += ", not acknowledged";
        auto* item = new QTreeWidgetItem(QStringList{qs(e.line), qs(faultClassText(e.faultClass)),
                                                     timeText(e.firstSeen), timeText(e.lastSeen),
                                                     QString::number(e.occurrences), state,
                                                     e.resettable() ? "double-click" : "controller"});
        item->setToolTip(Class, qs(faultClassName(e.faultClass)));
        QFont font = item->font(0);
        font.setBold(e.marked);
        for (int c = 0; c < ColumnCount; ++c) {
            item->setFont(c, font);
            if (e.active) item->setForeground(c, QColor(0xc0, 0x00, 0x00));
            if (e.marked) item->setBackground(c, QColor(0xff, 0xf3, 0xc0));
        }
        faults_->addTopLevelItem(item);
    }
    for (int c = 0; c < ColumnCount; ++c) faults_->resizeColumnToContents(c);
    for (int row : selected)
        if (QTreeWidgetItem* item = faults_->topLevelItem(row)) item->setSelected(true);

    summaryLine_->setText(QString("%1 fault lines seen in %2 ticks: %3 active, %4 not acknowledged.")
                              .arg(h.entries().size())
                              .arg(history_.tickCount())
                              .arg(h.activeCount())
                              .arg(h.markedCount()));
    acknowledgeAll_->setEnabled(h.markedCount() != 0);
}

void HistoryWindow::fillEvents() {
    events_->clear();
    for (const HistoryEvent& e : history_.faults().events()) {
        QString detail;
        if (e.kind == EventKind::Restart) {
            detail = "run counter went back";
        } else {
            detail = QString("initialisation result %1").arg(e.initResult);
            detail += e.end ? QString(", back online %1").arg(timeText(*e.end)) : QString(", still offline");
        }
        events_->addTopLevelItem(new QTreeWidgetItem(
            QStringList{timeText(e.start), e.kind == EventKind::Restart ? "Controller restart" : "Offline", detail}));
    }
    for (int c = 0; c < 3; ++c) events_->resizeColumnToContents(c);
}

void HistoryWindow::fillCharts() {
    const TrendRecorder& trends = history_.trends();
    const auto& samples = trends.samples();
    QList<QPointF> maxPts, minPts, upperPts, lowerPts;
    double yMax = 0;
    if (!samples.empty()) {
        const std::int64_t last = samples.back().ms;
        auto minutes = [last](std::int64_t ms) { return static_cast<double>(ms - last) / 60000.0; };
        for (const TrendSample& s : samples) {
            const double x = minutes(s.ms);
            maxPts.append({x, static_cast<double>(s.maxCycleUs)});
            minPts.append({x, static_cast<double>(s.minCycleUs)});
            upperPts.append({x, static_cast<double>(s.limits.upper)});
            lowerPts.append({x, static_cast<double>(s.limits.lower)});
            yMax = std::max({yMax, static_cast<double>(s.maxCycleUs), static_cast<double>(s.limits.upper)});
        }
    }
    series("Max. time")->replace(maxPts);
    series("Min.  time")->replace(minPts);
    series("Upper limit")->replace(upperPts);
    series("Lower limit")->replace(lowerPts);
    auto* y1 = qobject_cast<QValueAxis*>(cycleChart_->axes(Qt::Vertical).value(0));
    y1->setRange(0, yMax > 0 ? yMax * 1.15 : 100);

    const auto perMinute = trends.perMinute();
    std::uint64_t top = 0;
    for (int i = 0; i < kLinkCounterCount; ++i) {
        QList<QPointF> pts;
        if (!samples.empty()) {
            const std::int64_t last = samples.back().ms;
            for (const MinuteIncrease& m : perMinute) {
                pts.append({static_cast<double>(m.startMs - last) / 60000.0, static_cast<double>(m.increase[i])});
                top = std::max(top, m.increase[i]);
            }
        }
        series(linkCounterTitle(i))->replace(pts);
    }
    auto* y2 = qobject_cast<QValueAxis*>(counterChart_->axes(Qt::Vertical).value(0));
    y2->setRange(0, top > 0 ? static_cast<double>(top) * 1.2 : 5);

    if (const auto& w = trends.worst()) {
        worst_->setText(QString("Worst cycle time of the run: %1 us at %2 (band %3 to %4 us); %5 ticks out of band.")
                            .arg(w->maxCycleUs)
                            .arg(timeText(w->time))
                            .arg(w->limits.lower)
                            .arg(w->limits.upper)
                            .arg(trends.outOfBandTicks()));
    } else {
        worst_->setText("No cycle times yet: the controller has not been online.");
    }
}

void HistoryWindow::acknowledgeSelected() {
    for (QTreeWidgetItem* item : faults_->selectedItems())
        history_.faults().acknowledge(static_cast<std::size_t>(faults_->indexOfTopLevelItem(item)));
    refresh();
}

bool HistoryWindow::writeReport(const QString& htmlPath) {
    std::string error;
    const bool ok = writeServiceReport(sources_(), htmlPath.toStdString(), &error);
    status_->setText(ok ? QString("Report written to %1 and %2").arg(htmlPath, qs(textReportPath(htmlPath.toStdString())))
                        : qs(error));
    return ok;
}

void HistoryWindow::reportClicked() {
    const QString path = chooseReportPath_();
    if (!path.isEmpty()) writeReport(path);
}

}  // namespace kvx
