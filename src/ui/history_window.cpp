#include "ui/history_window.h"

#include <QAreaSeries>
#include <QBoxLayout>
#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QScrollBar>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QPen>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

#include "report/fault_classes.h"
#include "report/protocol_file.h"
#include "ui/trend_scope.h"

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

// A chart over local time; the scope sets the time range.
QChart* makeChart(const QString& title, const QString& yTitle, QValueAxis*& y) {
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    auto* x = new QDateTimeAxis(chart);
    x->setTitleText("local time");
    x->setTickCount(7);
    y = new QValueAxis(chart);
    y->setTitleText(yTitle);
    y->setLabelFormat("%d");
    // Whole numbers need little room: never elided to "...", whatever the
    // chart's size or a range that grew since it was laid out.
    y->setTruncateLabels(false);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    return chart;
}

// Whole numbers get whole ticks: 1, 2 or 5 times a power of ten, at most
// five steps up to the top.
qint64 integerStep(std::uint64_t top) {
    qint64 step = 1;
    for (qint64 scale = 1;; scale *= 10)
        for (qint64 m : {1, 2, 5}) {
            step = m * scale;
            if (static_cast<std::uint64_t>(step) * 5 >= top) return step;
        }
}

QString clockText(qint64 localMs) { return QDateTime::fromMSecsSinceEpoch(localMs).toString("hh:mm:ss"); }

const QColor kCounterColours[kLinkCounterCount] = {QColor(0xc0, 0x00, 0x00), QColor(0xe0, 0x80, 0x00),
                                                   QColor(0x80, 0x00, 0xa0), QColor(0x00, 0x70, 0xc0),
                                                   QColor(0x30, 0x90, 0x30)};

}  // namespace

HistoryWindow::HistoryWindow(RunHistory& history, std::function<ReportSources()> sources, QWidget* parent)
    : QWidget(parent), history_(history), sources_(std::move(sources)) {
    setWindowTitle("KvxDiagnostics - History and Trends");
    setObjectName("HistoryWindow");
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
    QValueAxis *y1, *y2;
    cycleChart_ = makeChart("Cycle times against the band of the sample time", "\u00b5s", y1);
    upper_ = new QLineSeries(cycleChart_);
    upper_->setName("Upper limit");
    lower_ = new QLineSeries(cycleChart_);
    lower_->setName("Lower limit");
    band_ = new QAreaSeries(upper_, lower_);
    band_->setName("Band of the sample time");
    band_->setBrush(QColor(0x30, 0x90, 0x30, 60));
    band_->setPen(QPen(QColor(0x30, 0x90, 0x30, 140), 1));
    cycleChart_->addSeries(band_);
    band_->attachAxis(cycleChart_->axes(Qt::Horizontal).value(0));
    band_->attachAxis(y1);
    for (auto* s : {makeSeries(cycleChart_, "Max. time", QColor(0xc0, 0x00, 0x00)),
                    makeSeries(cycleChart_, "Min.  time", QColor(0x00, 0x00, 0xc0))}) {
        s->attachAxis(cycleChart_->axes(Qt::Horizontal).value(0));
        s->attachAxis(y1);
    }
    counterChart_ = makeChart("Link error counters: increase per minute", "errors", y2);
    y2->setTickType(QValueAxis::TicksDynamic);
    y2->setTickAnchor(0);
    for (int i = 0; i < kLinkCounterCount; ++i) {
        auto* s = makeSeries(counterChart_, linkCounterTitle(i), kCounterColours[i]);
        s->attachAxis(counterChart_->axes(Qt::Horizontal).value(0));
        s->attachAxis(y2);
    }
    cycleView_ = new TrendScope(cycleChart_, trendPage);
    cycleView_->setObjectName("cycleScope");
    cycleView_->setMinimumHeight(240);
    counterView_ = new TrendScope(counterChart_, trendPage);
    counterView_->setObjectName("counterScope");
    counterView_->setMinimumHeight(200);
    // The two scopes show the same span and the same cursor.
    for (TrendScope* scope : {cycleView_, counterView_}) {
        TrendScope* other = scope == cycleView_ ? counterView_ : cycleView_;
        connect(scope, &TrendScope::rangeChosen, other, &TrendScope::showRange);
        connect(scope, &TrendScope::fitChosen, other, &TrendScope::fit);
        connect(scope, &TrendScope::cursorMoved, this, [this](std::optional<qint64> ms) { showCursor(ms); });
    }
    worst_ = new QLabel(trendPage);
    worst_->setObjectName("laWorstCycleTime");
    cursorLabel_ = new QLabel(trendPage);
    cursorLabel_->setObjectName("laScopeCursor");
    cursorLabel_->setTextFormat(Qt::PlainText);
    cursorLabel_->setMinimumHeight(3 * cursorLabel_->fontMetrics().lineSpacing());
    cursorLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* hint = new QLabel("Marks on the time axis: red, a fault came up; violet, the controller restarted; grey, "
                            "it went offline. Wheel or left drag: zoom; right drag: pan; double-click: fit.",
                            trendPage);
    hint->setWordWrap(true);
    tl->addWidget(cycleView_, 3);
    tl->addWidget(worst_);
    tl->addWidget(counterView_, 2);
    tl->addWidget(cursorLabel_);
    tl->addWidget(hint);
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
    showCursor(std::nullopt);
    resize(fittingSize());
}

QSize HistoryWindow::fittingSize() const {
    int columns = 0;
    for (int c = 0; c < ColumnCount; ++c)
        columns += std::max(faults_->columnWidth(c), faults_->header()->sectionSizeHint(c));
    const int frame = 2 * faults_->frameWidth() + faults_->verticalScrollBar()->sizeHint().width();
    const QMargins outer = layout()->contentsMargins();
    // The window manager keeps it on a smaller screen.
    return QSize(std::max(900, columns + frame + outer.left() + outer.right() + 24), 720);
}

QLineSeries* HistoryWindow::series(const QString& name) const {
    if (name == upper_->name()) return upper_;
    if (name == lower_->name()) return lower_;
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

qint64 HistoryWindow::localMs(std::int64_t monotonicMs) const {
    return anchorLocalMs_ + (monotonicMs - anchorMonotonicMs_);
}

void HistoryWindow::fillCharts() {
    const TrendRecorder& trends = history_.trends();
    const auto& samples = trends.samples();
    if (!samples.empty()) {
        const LocalTime& t = samples.back().time;
        anchorLocalMs_ = QDateTime(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second))
                             .toMSecsSinceEpoch();
        anchorMonotonicMs_ = samples.back().ms;
    }
    QList<QPointF> maxPts, minPts, upperPts, lowerPts;
    double yMax = 0;
    for (const TrendSample& s : samples) {
        const double x = static_cast<double>(localMs(s.ms));
        maxPts.append({x, static_cast<double>(s.maxCycleUs)});
        minPts.append({x, static_cast<double>(s.minCycleUs)});
        upperPts.append({x, static_cast<double>(s.limits.upper)});
        lowerPts.append({x, static_cast<double>(s.limits.lower)});
        yMax = std::max({yMax, static_cast<double>(s.maxCycleUs), static_cast<double>(s.limits.upper)});
    }
    series("Max. time")->replace(maxPts);
    series("Min.  time")->replace(minPts);
    upper_->replace(upperPts);
    lower_->replace(lowerPts);
    auto* y1 = qobject_cast<QValueAxis*>(cycleChart_->axes(Qt::Vertical).value(0));
    // Round ticks: 1, 2 or 5 times a power of ten, four or five of them.
    const qint64 yStep = integerStep(static_cast<std::uint64_t>(std::max(yMax, 100.0) * 1.05 / 4 * 5));
    const qint64 yTop = yStep * (static_cast<qint64>(std::max(yMax, 100.0) * 1.05) / yStep + 1);
    y1->setTickType(QValueAxis::TicksDynamic);
    y1->setTickAnchor(0);
    y1->setTickInterval(static_cast<double>(yStep));
    y1->setRange(0, static_cast<double>(yTop));

    double top = 0;
    const auto perMinute = trends.perMinute();
    const auto lastMinute = trends.lastMinuteIncrease();
    for (int i = 0; i < kLinkCounterCount; ++i) {
        QList<QPointF> pts;
        // A step per minute: the increase holds for the whole minute. The
        // minute still running ends at the newest sample and shows the
        // errors of the last 60 s: a steady rate stays steady across a
        // minute boundary instead of falling to 0 and spiking when a
        // few seconds of it are scaled to a minute.
        for (const MinuteIncrease& m : perMinute) {
            const double start = static_cast<double>(localMs(m.startMs));
            const double value = m.partial() ? static_cast<double>(lastMinute[static_cast<std::size_t>(i)])
                                             : static_cast<double>(m.increase[static_cast<std::size_t>(i)]);
            const double end = m.partial() ? static_cast<double>(localMs(samples.back().ms))
                                           : start + static_cast<double>(TrendRecorder::kMinuteMs);
            pts.append({start, value});
            pts.append({std::max(start, end), value});
            top = std::max(top, value);
        }
        series(linkCounterTitle(i))->replace(pts);
    }
    auto* y2 = qobject_cast<QValueAxis*>(counterChart_->axes(Qt::Vertical).value(0));
    const qint64 step = integerStep(std::max<std::uint64_t>(static_cast<std::uint64_t>(std::ceil(top)), 1));
    y2->setTickInterval(static_cast<double>(step));
    y2->setRange(0, static_cast<double>(step * ((static_cast<qint64>(std::ceil(top)) + step) / step)));

    if (!samples.empty()) {
        // The minute bins begin before the first sample of their minute.
        const qint64 first = localMs(samples.front().ms), last = localMs(samples.back().ms);
        cycleView_->setDataSpan(first, last);
        counterView_->setDataSpan(first, last);
    }
    fillMarks();

    if (const auto& w = trends.worst()) {
        worst_->setText(QString("Worst cycle time of the run: %1 \u00b5s at %2 (band %3 to %4 \u00b5s); %5 ticks out of "
                                    "band.")
                            .arg(w->maxCycleUs)
                            .arg(timeText(w->time))
                            .arg(w->limits.lower)
                            .arg(w->limits.upper)
                            .arg(trends.outOfBandTicks()));
    } else {
        worst_->setText("No cycle times yet: the controller has not been online.");
    }
}

// Every occurrence the fault history kept, every restart and every offline
// period, at the time it began.
void HistoryWindow::fillMarks() {
    QList<TrendScope::Mark> marks;
    const FaultHistory& h = history_.faults();
    for (const FaultEntry& e : h.entries())
        for (std::int64_t ms : e.startsMs) marks.append({localMs(ms), qs(e.line), QColor(0xc0, 0x00, 0x00)});
    for (const HistoryEvent& e : h.events()) {
        const bool restart = e.kind == EventKind::Restart;
        marks.append({localMs(e.startMs),
                      restart ? QString("Controller restart")
                              : QString("Offline (initialisation result %1)").arg(e.initResult),
                      restart ? QColor(0x80, 0x00, 0xa0) : QColor(0x70, 0x70, 0x70)});
    }
    std::stable_sort(marks.begin(), marks.end(), [](const auto& a, const auto& b) { return a.ms < b.ms; });
    cycleView_->setMarks(marks);
    counterView_->setMarks(marks);
}

// The readout of the cursor: the sample nearest its time, the minute of link
// errors it lies in, and the marks within a few pixels of it.
void HistoryWindow::showCursor(std::optional<qint64> ms) {
    cycleView_->setCursorTime(ms);
    counterView_->setCursorTime(ms);
    const auto& samples = history_.trends().samples();
    if (!ms || samples.empty()) {
        cursorLabel_->setText("Cursor: point at a chart to read the values at a time.");
        return;
    }
    const TrendSample* nearest = &samples.front();
    for (const TrendSample& s : samples)
        if (std::llabs(localMs(s.ms) - *ms) < std::llabs(localMs(nearest->ms) - *ms)) nearest = &s;
    QStringList lines;
    lines << QString("%1  max. time %2 \u00b5s, min. time %3 \u00b5s, band %4 to %5 \u00b5s")
                 .arg(clockText(localMs(nearest->ms)))
                 .arg(nearest->maxCycleUs)
                 .arg(nearest->minCycleUs)
                 .arg(nearest->limits.lower)
                 .arg(nearest->limits.upper);
    for (const MinuteIncrease& m : history_.trends().perMinute()) {
        const qint64 start = localMs(m.startMs);
        if (*ms < start || *ms >= start + TrendRecorder::kMinuteMs) continue;
        QStringList counts;
        for (int i = 0; i < kLinkCounterCount; ++i) counts << QString("%1 %2").arg(linkCounterTitle(i)).arg(m.increase[i]);
        if (m.partial())
            lines << QString("link errors in the minute from %1, first %2 s of it: %3")
                         .arg(clockText(start))
                         .arg(m.coveredMs / 1000)
                         .arg(counts.join(", "));
        else
            lines << QString("link errors in the minute from %1: %2").arg(clockText(start), counts.join(", "));
    }
    // Within five pixels of the cursor: what happened there.
    const TrendScope* scope = cycleView_;
    const qint64 near = std::max<qint64>(1000, (scope->shownTo() - scope->shownFrom()) * 5 /
                                                    std::max(1, static_cast<int>(cycleChart_->plotArea().width())));
    QStringList happened;
    for (const TrendScope::Mark& m : scope->marks())
        if (std::llabs(m.ms - *ms) <= near) happened << clockText(m.ms) + " " + m.text;
    if (!happened.isEmpty()) lines << happened.join("; ");
    cursorLabel_->setText(lines.join('\n'));
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
