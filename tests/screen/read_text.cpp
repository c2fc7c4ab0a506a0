#include "screen/read_text.h"

#include <QFontMetrics>
#include <QHash>
#include <QPainter>

#include <vector>

namespace kvx::screen {

namespace {

int distance(QRgb a, const QColor& b) {
    return std::abs(qRed(a) - b.red()) + std::abs(qGreen(a) - b.green()) + std::abs(qBlue(a) - b.blue());
}

// The colour most pixels of the area have.
QColor background(const QImage& shot, const QRect& area) {
    QHash<QRgb, int> count;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) ++count[shot.pixel(x, y)];
    QRgb best = qRgb(255, 255, 255);
    int most = -1;
    for (auto it = count.cbegin(); it != count.cend(); ++it)
        if (it.value() > most) {
            most = it.value();
            best = it.key();
        }
    return QColor(best);
}

// A pixel is ink when it is nearer the text colour than the background.
bool ink(QRgb pixel, const QColor& colour, const QColor& paper) {
    return distance(pixel, colour) < distance(pixel, paper);
}

}  // namespace

QFont windowFont(bool bold) {
    QFont font;
    font.setStyleHint(QFont::SansSerif);
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"), QStringLiteral("Noto Sans")});
    font.setPixelSize(11);
    font.setBold(bold);
    return font;
}

std::optional<QPoint> findText(const QImage& shot, const QRect& wanted, const QString& text, const QFont& font,
                               const QColor& colour, double slack) {
    const QRect area = wanted.intersected(shot.rect());
    if (area.isEmpty()) return std::nullopt;
    const QColor paper = background(shot, area);

    const QFontMetrics fm(font);
    QImage drawn(fm.horizontalAdvance(text) + 4, fm.height(), QImage::Format_RGB32);
    drawn.fill(paper);
    {
        QPainter p(&drawn);
        p.setFont(font);
        p.setPen(colour);
        p.drawText(QPoint(0, fm.ascent()), text);
    }
    // The ink of the drawn text, cut to its bounding box.
    QRect box;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            if (ink(drawn.pixel(x, y), colour, paper)) box |= QRect(x, y, 1, 1);
    if (box.isEmpty()) return std::nullopt;
    std::vector<char> mask(static_cast<std::size_t>(box.width() * box.height()));
    int inkCount = 0;
    for (int y = 0; y < box.height(); ++y)
        for (int x = 0; x < box.width(); ++x) {
            const bool on = ink(drawn.pixel(box.x() + x, box.y() + y), colour, paper);
            mask[static_cast<std::size_t>(y * box.width() + x)] = on;
            inkCount += on;
        }

    // Every place the box fits; a match may differ in a few edge pixels.
    const int allowed = std::max(2, static_cast<int>(inkCount * slack));
    int bestMiss = allowed + 1;
    QPoint best;
    for (int y = area.top(); y + box.height() - 1 <= area.bottom(); ++y)
        for (int x = area.left(); x + box.width() - 1 <= area.right(); ++x) {
            int miss = 0;
            for (int ty = 0; ty < box.height() && miss < bestMiss; ++ty)
                for (int tx = 0; tx < box.width() && miss < bestMiss; ++tx)
                    miss += ink(shot.pixel(x + tx, y + ty), colour, paper) !=
                            static_cast<bool>(mask[static_cast<std::size_t>(ty * box.width() + tx)]);
            if (miss < bestMiss) {
                bestMiss = miss;
                best = QPoint(x - box.x(), y - box.y());
            }
        }
    if (bestMiss > allowed) return std::nullopt;
    return best;
}

}  // namespace kvx::screen
