// Where the controls of the main window sit at the design size, which of
// them follow the right edge, and which value labels follow their captions.
#pragma once

#include <span>
#include <string_view>

namespace kvx::ui {

// The window's client area at the design size; right-anchored controls keep
// the distance they have to this width.
inline constexpr int kDesignWidth = 757;
inline constexpr int kDesignHeight = 677;

// The fixed scroll range: below this client size the window scrolls.
inline constexpr int kScrollWidth = 620;
inline constexpr int kScrollHeight = 500;

inline constexpr int kVersionGroupHeight = 97;
inline constexpr int kBoardGroupHeight = 236;
inline constexpr int kSummaryGroupHeight = 183;
// The task rows need this much; when the client is too short for all four
// groups, the summary gives way rather than covering the board group.
inline constexpr int kTaskGroupMinHeight = 128;

inline constexpr int kValueGap = 4;  // between a caption and its value

struct DesignSpot {
    std::string_view name;
    int x = 0, y = 0;
    int width = 0, height = 0;  // 0: the control's natural size
    bool rightAnchored = false;
};

// The design spot of a control inside its group box, or nullptr for a control
// that the group's layout places (the summary memo).
const DesignSpot* designSpot(std::string_view name);

// Each chain starts with a caption label; every following label is placed
// kValueGap pixels right of the one before it.
std::span<const std::span<const std::string_view>> valueChains();

// Both serial-number values start at the larger of their two chained positions.
inline constexpr std::string_view kSerialBaseCaption = "laSnrGrundplatine";
inline constexpr std::string_view kSerialBaseValue = "laSnrGrundplatineNr";
inline constexpr std::string_view kSerialOptionCaption = "laSnrOptionsprint";
inline constexpr std::string_view kSerialOptionValue = "laSnrOptionsprintNr";

}  // namespace kvx::ui
