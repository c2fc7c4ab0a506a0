#include "ui/trend_scope.h"

#include <QChart>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace kvx {

namespace {

QDateTimeAxis* timeAxis(QChart* chart) { return qobject_cast<QDateTimeAxis*>(chart->axes(Qt::Horizontal).value(0)); }

}  // namespace

TrendScope::TrendScope(QChart* chart, QWidget* parent) : QChartView(chart, parent) {
    setRenderHint(QPainter::Antialiasing);
    setMouseTracking(true);
    setRubberBand(QChartView::NoRubberBand);  // zooming is ours, horizontal only
    setToolTip(QStringLiteral("Wheel: zoom in time; left drag: zoom to a span; right drag: pan; "
                              "double-click: fit to the data"));
    apply();
}

void TrendScope::setDataSpan(qint64 firstMs, qint64 lastMs) {
    firstMs_ = firstMs;
    lastMs_ = std::max(firstMs, lastMs);
    if (following_) apply();
}

void TrendScope::setMarks(QList<Mark> marks) {
    marks_ = std::move(marks);
    viewport()->update();
}

void TrendScope::showRange(qint64 from, qint64 to) {
    if (to - from < kShortestSpanMs) {
        const qint64 middle = from + (to - from) / 2;
        from = middle - kShortestSpanMs / 2;
        to = from + kShortestSpanMs;
    }
    following_ = false;
    from_ = from;
    to_ = to;
    apply();
}

void TrendScope::fit() {
    following_ = true;
    apply();
}

void TrendScope::setCursorTime(std::optional<qint64> ms) {
    if (cursor_ == ms) return;
    cursor_ = ms;
    viewport()->update();
}

// A following scope shows the data from its first sample, at most the last
// hour, and never less than kShortestSpanMs (a fresh run fills from the left).
void TrendScope::apply() {
    if (following_) {
        from_ = std::max(firstMs_, lastMs_ - kWindowMs);
        to_ = std::max(lastMs_, from_ + kShortestSpanMs);
    }
    if (QDateTimeAxis* axis = timeAxis(chart())) {
        axis->setFormat(to_ - from_ <= 15 * 60'000 ? QStringLiteral("hh:mm:ss") : QStringLiteral("hh:mm"));
        axis->setRange(QDateTime::fromMSecsSinceEpoch(from_), QDateTime::fromMSecsSinceEpoch(to_));
    }
    viewport()->update();
}

void TrendScope::choose(qint64 from, qint64 to) {
    showRange(from, to);
    emit rangeChosen(from_, to_);
}

double TrendScope::sceneX(qint64 ms) const {
    const QRectF plot = chart()->plotArea();
    return plot.left() + plot.width() * static_cast<double>(ms - from_) / static_cast<double>(to_ - from_);
}

qint64 TrendScope::timeAt(int x) const {
    const QRectF plot = chart()->plotArea();
    const double sx = mapToScene(QPoint(x, 0)).x();
    const double share = plot.width() > 0 ? (sx - plot.left()) / plot.width() : 0.0;
    return from_ + static_cast<qint64>(std::llround(share * static_cast<double>(to_ - from_)));
}

int TrendScope::xOf(qint64 ms) const { return mapFromScene(QPointF(sceneX(ms), 0)).x(); }

bool TrendScope::overPlot(const QPoint& pos) const {
    return chart()->plotArea().contains(mapToScene(pos));
}

void TrendScope::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y() / 120;
    if (steps == 0) return;
    const qint64 around = timeAt(event->position().toPoint().x());
    const double factor = std::pow(0.8, steps);  // one notch up shows 80 % of the span
    const auto scaled = [&](qint64 edge) {
        return around + static_cast<qint64>(std::llround(static_cast<double>(edge - around) * factor));
    };
    qint64 from = scaled(from_), to = scaled(to_);
    if (to - from > kWindowMs) {  // never wider than the hour the trends keep
        from = std::max(from, to - kWindowMs);
        to = from + kWindowMs;
    }
    choose(from, to);
    event->accept();
}

void TrendScope::mousePressEvent(QMouseEvent* event) {
    if (!overPlot(event->pos())) return QChartView::mousePressEvent(event);
    dragStartX_ = dragX_ = event->pos().x();
    dragFrom_ = from_;
    dragTo_ = to_;
    drag_ = event->button() == Qt::LeftButton ? Drag::Zoom : event->button() == Qt::RightButton ? Drag::Pan : Drag::None;
    event->accept();
}

void TrendScope::mouseMoveEvent(QMouseEvent* event) {
    const int x = event->pos().x();
    if (drag_ == Drag::Pan) {
        const double perPixel = static_cast<double>(dragTo_ - dragFrom_) / std::max(1.0, chart()->plotArea().width());
        const auto shift = static_cast<qint64>(std::llround((dragStartX_ - x) * perPixel));
        choose(dragFrom_ + shift, dragTo_ + shift);
    } else if (drag_ == Drag::Zoom) {
        dragX_ = x;
        viewport()->update();
    }
    const std::optional<qint64> at = overPlot(event->pos()) ? std::optional<qint64>(timeAt(x)) : std::nullopt;
    if (at != cursor_) {
        setCursorTime(at);
        emit cursorMoved(at);
    }
    event->accept();
}

void TrendScope::mouseReleaseEvent(QMouseEvent* event) {
    const Drag was = drag_;
    drag_ = Drag::None;
    if (was == Drag::Zoom && std::abs(event->pos().x() - dragStartX_) > 4) {
        const qint64 a = timeAt(dragStartX_), b = timeAt(event->pos().x());
        choose(std::min(a, b), std::max(a, b));
    }
    viewport()->update();
    event->accept();
}

void TrendScope::mouseDoubleClickEvent(QMouseEvent* event) {
    drag_ = Drag::None;
    fit();
    emit fitChosen();
    event->accept();
}

void TrendScope::leaveEvent(QEvent* event) {
    if (cursor_) {
        setCursorTime(std::nullopt);
        emit cursorMoved(std::nullopt);
    }
    QChartView::leaveEvent(event);
}

// Marks stand on the time axis as small triangles with a thin line up
// through the plot; the cursor is a solid line; a span being chosen is shaded.
void TrendScope::drawForeground(QPainter* painter, const QRectF& rect) {
    QChartView::drawForeground(painter, rect);
    const QRectF plot = chart()->plotArea();
    if (plot.width() <= 0 || to_ <= from_) return;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    for (const Mark& m : marks_) {
        if (m.ms < from_ || m.ms > to_) continue;
        const double x = sceneX(m.ms);
        QColor line = m.colour;
        line.setAlpha(110);
        painter->setPen(QPen(line, 1, Qt::DashLine));
        painter->drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        const QPointF tip(x, plot.bottom() - 7);
        const QPointF triangle[] = {tip, {x - 5, plot.bottom()}, {x + 5, plot.bottom()}};
        painter->setPen(Qt::NoPen);
        painter->setBrush(m.colour);
        painter->drawPolygon(triangle, 3);
    }
    if (cursor_ && *cursor_ >= from_ && *cursor_ <= to_) {
        const double x = sceneX(*cursor_);
        painter->setPen(QPen(QColor(0x20, 0x20, 0x20), 1));
        painter->drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    }
    if (drag_ == Drag::Zoom && dragX_ != dragStartX_) {
        const double a = mapToScene(QPoint(dragStartX_, 0)).x(), b = mapToScene(QPoint(dragX_, 0)).x();
        painter->fillRect(QRectF(QPointF(std::min(a, b), plot.top()), QPointF(std::max(a, b), plot.bottom())),
                          QColor(0x30, 0x60, 0xc0, 50));
    }
    painter->restore();
}

}  // namespace kvx
