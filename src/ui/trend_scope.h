// A trend chart that handles like a scope: the time axis fits the data (at
// most the last hour) until the user zooms (mouse wheel, or a drag with the
// left button over a span) or pans (a drag with the right button); a
// double-click fits it again. A cursor follows the pointer, and marks on the
// time axis show when faults came up and when the controller restarted or
// went offline.
#pragma once

#include <QChartView>
#include <QColor>
#include <QList>
#include <QString>

#include <optional>

namespace kvx {

class TrendScope : public QChartView {
    Q_OBJECT

public:
    struct Mark {
        qint64 ms = 0;  // local time, milliseconds since the epoch
        QString text;
        QColor colour;
    };

    static constexpr qint64 kWindowMs = 3'600'000;  // what the trends keep
    static constexpr qint64 kShortestSpanMs = 10'000;

    // The chart must have a date-time axis at the bottom.
    explicit TrendScope(QChart* chart, QWidget* parent = nullptr);

    // The times of the first and the last sample; a following scope shows
    // them, at most the last hour of them.
    void setDataSpan(qint64 firstMs, qint64 lastMs);
    void setMarks(QList<Mark> marks);
    const QList<Mark>& marks() const { return marks_; }

    qint64 shownFrom() const { return from_; }
    qint64 shownTo() const { return to_; }
    bool following() const { return following_; }

    // A span the user chose (here or in the other scope of the window):
    // the scope keeps it until fit() is called.
    void showRange(qint64 from, qint64 to);
    void fit();
    void setCursorTime(std::optional<qint64> ms);

    // The time at a horizontal position of the view, and back.
    qint64 timeAt(int x) const;
    int xOf(qint64 ms) const;

signals:
    void rangeChosen(qint64 from, qint64 to);
    void fitChosen();
    void cursorMoved(std::optional<qint64> ms);

protected:
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void drawForeground(QPainter* painter, const QRectF& rect) override;

private:
    enum class Drag { None, Zoom, Pan };

    void apply();
    void choose(qint64 from, qint64 to);
    bool overPlot(const QPoint& pos) const;
    double sceneX(qint64 ms) const;

    qint64 firstMs_ = 0, lastMs_ = 0;
    qint64 from_ = 0, to_ = kShortestSpanMs;
    bool following_ = true;
    QList<Mark> marks_;
    std::optional<qint64> cursor_;
    Drag drag_ = Drag::None;
    int dragStartX_ = 0, dragX_ = 0;
    qint64 dragFrom_ = 0, dragTo_ = 0;
};

}  // namespace kvx
