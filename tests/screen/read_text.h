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

#include <chrono>
#include <optional>
#include <thread>

namespace kvx::screen {

// The main window's font (the design font's stand-in), regular or bold.
QFont windowFont(bool bold);

// The left edge and the top of the text box where `text` stands whole in
// `area` of `shot`, in `colour` on whatever background the area has. A match
// may differ in `slack` of the text's pixels (antialiased edges of text drawn
// at a fraction of a pixel).
std::optional<QPoint> findText(const QImage& shot, const QRect& area, const QString& text, const QFont& font,
                               const QColor& colour, double slack = 1.0 / 12);

// Takes screenshots with `grab` until `check` finds what it looks for in one,
// for at most `timeout`: a busy machine paints late, so a test waits for
// what it expects to see instead of for a fixed time. Returns the last
// screenshot and what `check` answered for it.
template <class Grab, class Check>
auto eventually(Grab grab, Check check, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    QImage shot = grab();
    auto found = check(shot);
    while (!found && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        shot = grab();
        found = check(shot);
    }
    return std::make_pair(shot, found);
}

}  // namespace kvx::screen
