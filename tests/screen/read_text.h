// Reading text off a screenshot: the text is drawn by the test in the same
// font and colours, and looked for pixel by pixel, so a text cut at either
// end or drawn elsewhere is not found.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <optional>

namespace kvx::screen {

// The main window's font (the design font's stand-in), regular or bold.
QFont windowFont(bool bold);

// The left edge and the top of the text box where `text` stands whole in
// `area` of `shot`, in `colour` on whatever background the area has. A match
// may differ in `slack` of the text's pixels (antialiased edges of text drawn
// at a fraction of a pixel).
std::optional<QPoint> findText(const QImage& shot, const QRect& area, const QString& text, const QFont& font,
                               const QColor& colour, double slack = 1.0 / 12);

}  // namespace kvx::screen
