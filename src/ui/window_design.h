// Where the controls of the main window sit at the design size and which of
// them follow the right edge. Which label follows which is the model's
// business (Control::placedAfter).
#pragma once

#include <span>
#include <string_view>

namespace kvx::ui {

// The window's client area at the design size; right-anchored controls keep
// the distance they have to this width.
inline constexpr int kDesignWidth = 757;
inline constexpr int kDesignHeight = 677;

// The smallest scroll range: below it the window scrolls. Across, the range
// grows to what the texts shown need, down to what the four groups need
// (window_layout.h), so no value and no task row is ever out of reach.
inline constexpr int kScrollWidth = 620;
inline constexpr int kScrollHeight = 500;

inline constexpr int kVersionGroupHeight = 97;
inline constexpr int kBoardGroupHeight = 236;
inline constexpr int kSummaryGroupHeight = 183;

inline constexpr int kValueGap = 4;  // between a caption and its value

// The widest text a task's error number or error line field must show whole:
// the controller sends any 32-bit number.
inline constexpr const char* kWidestTaskNumber = "-2147483648";
// The right edge of the error line fields at the design width; the task
// columns left of it move left as far as the two fields grow.
inline constexpr int kTaskGridRight = 681 + 65;
inline constexpr int kTaskFieldGap = 3;  // between the error number and the error line field

struct DesignSpot {
    std::string_view name;
    int x = 0, y = 0;
    int width = 0, height = 0;  // 0: the control's natural size
    bool rightAnchored = false;
};

// The design spot of a control inside its group box, or nullptr for a control
// that the group's layout places (the summary memo).
const DesignSpot* designSpot(std::string_view name);

// The controls of the task grid right of the file names (column headers,
// flags, error fields), which move left together when the fields grow.
bool inTaskGrid(std::string_view name);

}  // namespace kvx::ui
