#include "ui/window_layout.h"

#include <algorithm>

#include "ui/window_design.h"

namespace kvx::ui {

namespace {

// Room below the last task row, inside the group's frame.
constexpr int kTaskGroupFoot = 6;
// Room between a control and its group's right frame, as on the left.
constexpr int kEdgeRoom = 8;
// Room between a row that keeps its place on the left and a control that
// follows the right edge beside it.
constexpr int kControlGap = 8;

struct TaskGrid {
    int numberWidth, lineWidth, lineLeft, shift;
};

// The error fields show any number the controller sends whole; where they
// need more room than designed, the task grid moves left for it.
TaskGrid taskGrid(const Measures& m) {
    TaskGrid g{};
    g.numberWidth = std::max(41, m.taskNumberWidth);
    g.lineWidth = std::max(65, g.numberWidth);
    g.lineLeft = kTaskGridRight - g.lineWidth;
    g.shift = g.lineLeft - kTaskFieldGap - g.numberWidth - 637;
    return g;
}

// A control's box at the design width: its spot, the task grid's move, and
// its size (the spot's, else the measured one).
Box designBox(const Control& c, const DesignSpot& spot, const Box& natural, const TaskGrid& grid) {
    Box b{spot.x, spot.y, spot.width ? spot.width : natural.width, spot.height ? spot.height : natural.height};
    if (inTaskGrid(c.name)) b.x += grid.shift;
    if (c.name.starts_with("edErrNum")) b.width = grid.numberWidth;
    if (c.name.starts_with("edErrLine")) {
        b.width = grid.lineWidth;
        b.x = grid.lineLeft;
    }
    if (c.name == "laErrLine") b.x = grid.lineLeft + 693 - 681;
    return b;
}

std::size_t indexOf(const DisplayModel& model, const std::string& name) {
    return static_cast<std::size_t>(&model[name] - model.controls().data());
}

}  // namespace

int neededHeight(const DisplayModel& model, const Measures& measures) {
    const TaskGrid grid = taskGrid(measures);
    int rows = 0;
    const auto& controls = model.controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        const DesignSpot* spot = designSpot(c.name);
        // The warning store is never shown; the task rows are what must fit.
        if (c.group != Group::Task || !spot || c.kind == ControlKind::Memo) continue;
        rows = std::max(rows, designBox(c, *spot, measures.natural[i], grid).bottom());
    }
    return kVersionGroupHeight + kBoardGroupHeight + rows + kTaskGroupFoot + kSummaryGroupHeight;
}

namespace {

// Places every control for a canvas `width`. `followsRight` (when given)
// says per control whether it moves with the right edge: right-anchored
// itself or placed after one that is.
void placeControls(const DisplayModel& model, int width, const Measures& measures, WindowLayout& l,
                   std::vector<bool>* followsRight) {
    // Right-anchored controls keep their distance to the right edge.
    const TaskGrid grid = taskGrid(measures);
    const int shift = width - kDesignWidth;
    const auto& controls = model.controls();
    l.controls.assign(controls.size(), Box{});
    l.placed.assign(controls.size(), false);
    std::vector<bool> right(controls.size(), false);
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const DesignSpot* spot = designSpot(controls[i].name);
        if (!spot) continue;
        l.controls[i] = designBox(controls[i], *spot, measures.natural[i], grid);
        if (spot->rightAnchored) l.controls[i].x += shift;
        right[i] = spot->rightAnchored;
        l.placed[i] = true;
    }

    // A label placed after another starts kValueGap pixels right of where
    // that one ends, wherever the anchoring put it; two aligned labels start
    // at the larger of their places.
    std::vector<int> state(controls.size(), 0);  // 0 open, 1 on the way, 2 done
    auto chained = [&](auto&& self, std::size_t i) -> int {
        if (state[i] != 0) return l.controls[i].x;  // a loop stops where it closes
        state[i] = 1;
        const Control& c = controls[i];
        if (c.kind == ControlKind::Label && !c.placedAfter.empty() && model.has(c.placedAfter)) {
            const std::size_t before = indexOf(model, c.placedAfter);
            self(self, before);
            l.controls[i].x = l.controls[before].right() + kValueGap;
            right[i] = right[before];
        }
        state[i] = 2;
        return l.controls[i].x;
    };
    for (std::size_t i = 0; i < controls.size(); ++i) chained(chained, i);
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        if (c.kind != ControlKind::Label || c.alignedWith.empty() || !model.has(c.alignedWith)) continue;
        const std::size_t other = indexOf(model, c.alignedWith);
        const int x = std::max(l.controls[i].x, l.controls[other].x);
        l.controls[i].x = l.controls[other].x = x;
    }
    if (followsRight) *followsRight = std::move(right);
}

bool shown(const Control& c, const Box& b) { return c.visible && c.kind != ControlKind::Memo && b.width > 0; }

}  // namespace

int neededWidth(const DisplayModel& model, const Measures& measures) {
    WindowLayout l;
    std::vector<bool> right;
    placeControls(model, kDesignWidth, measures, l, &right);
    const auto& controls = model.controls();
    int need = kScrollWidth;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Box& a = l.controls[i];
        if (!l.placed[i] || !shown(controls[i], a)) continue;
        if (right[i]) {
            // Nothing that follows the right edge is pushed out on the left.
            need = std::max(need, kDesignWidth - a.x + kEdgeRoom);
            continue;
        }
        // A control that keeps its place on the left ends inside its group
        // and before every right-anchored one beside it.
        need = std::max(need, a.right() + kEdgeRoom);
        for (std::size_t j = 0; j < controls.size(); ++j) {
            const Box& b = l.controls[j];
            if (!right[j] || !l.placed[j] || controls[j].group != controls[i].group || !shown(controls[j], b)) continue;
            const bool beside = a.y < b.bottom() && b.y < a.bottom();
            if (beside && a.x < b.x) need = std::max(need, a.right() + kControlGap + kDesignWidth - b.x);
        }
    }
    return need;
}

WindowLayout layoutWindow(const DisplayModel& model, int clientWidth, int clientHeight, const Measures& measures) {
    WindowLayout l;
    l.rangeWidth = neededWidth(model, measures);
    l.rangeHeight = std::max(kScrollHeight, neededHeight(model, measures));

    // A bar takes room from the other direction, which may then need its own.
    l.verticalBar = clientHeight < l.rangeHeight;
    l.horizontalBar = clientWidth - (l.verticalBar ? measures.scrollBarExtent : 0) < l.rangeWidth;
    l.verticalBar = clientHeight - (l.horizontalBar ? measures.scrollBarExtent : 0) < l.rangeHeight;
    const int viewWidth = clientWidth - (l.verticalBar ? measures.scrollBarExtent : 0);
    const int viewHeight = clientHeight - (l.horizontalBar ? measures.scrollBarExtent : 0);
    l.canvas = {0, 0, std::max(viewWidth, l.rangeWidth), std::max(viewHeight, l.rangeHeight)};

    // The summary is what a technician reads first: docked at the bottom at
    // its design height; the task rows get what is left.
    const int w = l.canvas.width, h = l.canvas.height;
    const int upper = kVersionGroupHeight + kBoardGroupHeight;
    l.version = {0, 0, w, kVersionGroupHeight};
    l.board = {0, kVersionGroupHeight, w, kBoardGroupHeight};
    l.task = {0, upper, w, std::max(0, h - upper - kSummaryGroupHeight)};
    l.summary = {0, h - kSummaryGroupHeight, w, kSummaryGroupHeight};
    placeControls(model, w, measures, l, nullptr);
    return l;
}

Box fitOnScreen(const Box& client, const Frame& frame, const Box& available) {
    Box b = client;
    b.width = std::max(1, std::min(b.width, available.width - frame.left - frame.right));
    b.height = std::max(1, std::min(b.height, available.height - frame.top - frame.bottom));
    const bool onArea = b.x >= available.x && b.y >= available.y && b.right() <= available.right() &&
                        b.bottom() <= available.bottom();
    if (b == client && onArea) return b;
    b.x = std::min(b.x, available.right() - frame.right - b.width);
    b.y = std::min(b.y, available.bottom() - frame.bottom - b.height);
    b.x = std::max(b.x, available.x + frame.left);
    b.y = std::max(b.y, available.y + frame.top);
    return b;
}

}  // namespace kvx::ui
