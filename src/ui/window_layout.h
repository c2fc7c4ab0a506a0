// Where every control of the main window stands for a given client size: one
// function of that size, the display model and the room its texts take in
// the window's fonts. It knows no widgets, so it is checked without a window;
// the window measures, calls it and applies what it gives.
#pragma once

#include <vector>

#include "display/display_model.h"

namespace kvx::ui {

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
    int right() const { return x + width; }
    int bottom() const { return y + height; }
    bool operator==(const Box&) const = default;
};

// What the window measured in its fonts and style.
struct Measures {
    // Per control of the model, in model order: the size it takes with its
    // current text (a label's text, a check box with its text) or, for
    // fields, boxes and buttons, the style's natural size.
    std::vector<Box> natural;
    int taskNumberWidth = 0;  // an error field showing any 32-bit number whole
    int scrollBarExtent = 0;  // breadth of a scroll bar
};

struct WindowLayout {
    int rangeWidth = 0, rangeHeight = 0;  // below these the client area scrolls
    bool horizontalBar = false, verticalBar = false;
    Box canvas;  // what the scroll area scrolls: the viewport, at least the range
    Box version, board, task, summary;  // the group boxes, on the canvas
    // Per control of the model, inside its group box; `placed` false: the
    // group's own layout places it (the summary memo).
    std::vector<Box> controls;
    std::vector<bool> placed;
};

// The height the four groups need at their smallest: the two upper groups,
// every task row and the summary at its design height.
int neededHeight(const DisplayModel& model, const Measures& measures);

// The width the controls need: the design's 620 pixels, or more where a
// text that keeps its place on the left would reach its group's edge or a
// control that follows the right edge beside it.
int neededWidth(const DisplayModel& model, const Measures& measures);

WindowLayout layoutWindow(const DisplayModel& model, int clientWidth, int clientHeight, const Measures& measures);

// The room a window manager's frame takes round a window's client area.
struct Frame {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// A stored client rectangle on a screen's available area: a size that, with
// its frame, is larger than the area shrinks to fit it (the window then
// scrolls); a place that sticks out moves inside, the title bar first; a
// place whose client area lies on the area is kept as it stands.
Box fitOnScreen(const Box& client, const Frame& frame, const Box& available);

}  // namespace kvx::ui
