// The display model: every control of the main window by its name, with the
// text, colour role, check mark, visibility and items it shows, plus the
// window caption and the summary lines. The poll engine and card control
// write it; the Qt window and the headless front end render it; tests read it.
// Pixel placement is the view's business.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kvx {

// Where a control takes its font colour from.
enum class ColourRole {
    Normal,  // value colour of NormalColor (blue)
    Fault,   // value colour of ErrorColor (red)
    Plain    // the window's ordinary text colour
};

enum class ControlKind { Label, CheckBox, ComboBox, Edit, Memo, Button };

// How a control is drawn at design time.
enum class TextStyle {
    Caption,  // window font, regular
    Value,    // bold, coloured by role
    File,     // bold, window-text colour
    Field     // read-only text field, bold
};

enum class Group { Version, Board, Task, Summary };

struct Control {
    std::string name;
    ControlKind kind = ControlKind::Label;
    Group group = Group::Version;
    TextStyle style = TextStyle::Caption;
    std::string text;
    ColourRole role = ColourRole::Plain;
    bool checked = false;
    bool visible = true;
    bool enabled = true;
    std::string hint;                // tool tip
    std::vector<std::string> items;  // combo boxes
    int selectedIndex = -1;          // combo boxes; -1 = none
    // Labels: the label this one was last placed after (its left edge
    // follows that label's right edge); empty: still at its design place.
    std::string placedAfter;
    // Labels: the label whose left edge this one shares (both start at the
    // larger of their two places); empty: none.
    std::string alignedWith;
};

// The window's normal (restored) rectangle and scroll positions. The view
// copies the real ones in before the settings are written and applies them
// after they are read.
struct WindowPlacement {
    int left = 736, top = 226, width = 757, height = 677;
    int verticalScroll = 0, horizontalScroll = 0;
};

class DisplayModel {
public:
    DisplayModel();  // every control in its design state

    static constexpr std::string_view kDesignCaption = "KvxDiagnostics";

    // Throws std::out_of_range for a name that is not a control of the window.
    Control& operator[](std::string_view name);
    const Control& operator[](std::string_view name) const;
    bool has(std::string_view name) const;

    void setText(std::string_view name, std::string text);
    void setRole(std::string_view name, ColourRole role);
    void setValue(std::string_view name, std::string text, ColourRole role);
    void appendText(std::string_view name, std::string_view more);
    void setChecked(std::string_view name, bool checked);
    void setVisible(std::string_view name, bool visible);
    // Places the label `name` after the label `before`; ends an alignment.
    void placeAfter(std::string_view name, std::string_view before);
    // Sets the text of `name` and places it after `before`.
    void setPlaced(std::string_view name, std::string text, std::string_view before);
    // Lets the two labels start at the larger of their two places.
    void alignStarts(std::string_view a, std::string_view b);

    const std::vector<Control>& controls() const { return controls_; }

    std::string caption{kDesignCaption};
    WindowPlacement placement;
    bool stayOnTop = false;  // set by cbStayOnTopChange from cbStayOnTop's index
    std::vector<std::string> summary;   // meErrorSummary, one entry per line
    std::vector<std::string> warnings;  // WarnMsg, the hidden warning store

    // Stamped with the monotonic time (ms) by every poll tick that completes;
    // nothing before the first. Whoever draws the model compares the stamp
    // with the clock (see staleness.h): the tick itself never marks data old.
    std::optional<std::int64_t> tickCompletedMs;
    int tickIntervalMs = 1000;

    // Joins the summary lines with "\n" as the memo shows them.
    std::string summaryText() const;

private:
    // Looked up by name some hundred times a tick: by the view itself,
    // without a string made for each look-up.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
    };
    std::vector<Control> controls_;
    std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> index_;
};

// Replaces the whole summary with a text that may hold "\n" line breaks.
void replaceLines(std::vector<std::string>& lines, std::string_view text);

}  // namespace kvx
