#include "display/display_model.h"

#include <stdexcept>

namespace kvx {

namespace {

Control label(std::string name, Group g, std::string text, TextStyle style = TextStyle::Caption,
              std::string hint = {}) {
    Control c;
    c.name = std::move(name);
    c.kind = ControlKind::Label;
    c.group = g;
    c.style = style;
    c.text = std::move(text);
    c.role = style == TextStyle::Value ? ColourRole::Normal : ColourRole::Plain;
    c.hint = std::move(hint);
    return c;
}

Control value(std::string name, Group g, std::string hint = {}) {
    return label(std::move(name), g, "---", TextStyle::Value, std::move(hint));
}

Control checkBox(std::string name, Group g, std::string text, bool visible, bool enabled) {
    Control c;
    c.name = std::move(name);
    c.kind = ControlKind::CheckBox;
    c.group = g;
    c.text = std::move(text);
    c.visible = visible;
    c.enabled = enabled;
    return c;
}

Control edit(std::string name) {
    Control c;
    c.name = std::move(name);
    c.kind = ControlKind::Edit;
    c.group = Group::Task;
    c.style = TextStyle::Field;
    c.text = "0";
    c.enabled = false;
    return c;
}

std::vector<Control> designControls() {
    std::vector<Control> v;
    const Group ver = Group::Version, brd = Group::Board, tsk = Group::Task;

    v.push_back(label("laExeVersion", ver, "---"));
    v.push_back(value("laExeVersionNr", ver));
    Control normal = label("NormalColor", ver, "NormalColor", TextStyle::Value);
    normal.visible = false;
    v.push_back(normal);
    Control error = label("ErrorColor", ver, "ErrorColor", TextStyle::Value);
    error.role = ColourRole::Fault;
    error.visible = false;
    v.push_back(error);
    v.push_back(label("laDllName", ver, "---"));
    v.push_back(label("laMiniportVersion", ver, "Miniport Version: "));
    Control miniport = value("laMiniportVersionNr", ver);
    miniport.text = "n.a.";
    v.push_back(miniport);
    v.push_back(label("laTavosName", ver, "---"));
    v.push_back(value("laTavosNameNr", ver));
    v.push_back(label("laPldRev", ver, "---"));
    v.push_back(value("laBdver_RenumNr", ver, "1. Digit: Board Version / 2. Digit: EPM Rev."));
    v.push_back(value("laFpver_FfuncNr", ver, "1. Digit: FPGA Version / 2. Digit: FPGA Func. Nr."));
    v.push_back(value("laPldRevNr", ver, "EPM / Board Client Version"));
    v.push_back(label("laEpmBaseRev", ver, "---"));
    v.push_back(value("laEpmBaseRevNr", ver, "Base Board Opto-I/O EPM Version"));
    v.push_back(label("laEpmOptionRev", ver, "---"));
    v.push_back(value("laEpmOptionRevNr", ver, "Option Print Opto-I/O EPM Version"));
    v.push_back(checkBox("cbUseWebServices", ver, "Use WebServices", false, true));
    v.push_back(checkBox("cbGetFileNames", ver, "Get File Names", false, true));
    Control reboot;
    reboot.name = "buReboot";
    reboot.kind = ControlKind::Button;
    reboot.text = "Boot System";
    reboot.visible = false;
    v.push_back(reboot);
    v.push_back(label("Label1", ver, "(n.a. = not available)"));
    v.push_back(label("Label2", ver, "Card Nr.:"));
    Control card;
    card.name = "cbCardNr";
    card.kind = ControlKind::ComboBox;
    card.text = "0";
    card.items = {"0"};
    card.selectedIndex = 0;
    card.hint = "Selected Card Number";
    v.push_back(card);
    Control top;
    top.name = "cbStayOnTop";
    top.kind = ControlKind::ComboBox;
    top.items = {"normal", "StayOnTop"};
    top.hint = "Window Mode";
    v.push_back(top);

    v.push_back(label("laBoardType", brd, "Board type: not identified"));
    v.push_back(value("laBoardTypeNr", brd));
    v.push_back(label("laSnrGrundplatine", brd, "Serial Number:"));
    v.push_back(value("laSnrGrundplatineNr", brd));
    v.push_back(label("laSnrOptionsprint", brd, "Serial Number:"));
    v.push_back(value("laSnrOptionsprintNr", brd));
    for (const char* stem : {"laStatusRegister", "laEO", "laCEF", "laDHEF", "laMPE", "laECS"}) {
        v.push_back(label(stem, brd, "---"));
        v.push_back(value(std::string(stem) + "Nr", brd));
    }
    v.push_back(label("laErrorReg", brd, "ErrorRegister: n.a."));
    v.push_back(value("laErrorRegNr", brd));
    const std::pair<const char*, const char*> counters[] = {
        {"laMinTime", "Min.  Time:"},          {"laMaxTime", "Max. Time:"},
        {"laDmaReadErr", "DMA Read Errors:"},  {"laDmaWriteErr", "DMA Write Errors:"},
        {"laTimeoutErr", "Timeout Errors:"},   {"laRxDataErr", "RX Data Errors:"},
        {"laRxComErr", "RX Com. Errors:"}};
    for (const auto& [stem, text] : counters) {
        v.push_back(label(stem, brd, text));
        v.push_back(value(std::string(stem) + "Nr", brd));
    }

    v.push_back(label("laRun", tsk, "Run"));
    v.push_back(label("laStep", tsk, "Step"));
    v.push_back(label("laStop", tsk, "Stop"));
    v.push_back(label("laErrNum", tsk, "Err.Num."));
    v.push_back(label("laErrLine", tsk, "Err.Line"));
    for (int n = 0; n < 4; ++n) {
        const std::string d = std::to_string(n);
        v.push_back(label("laTask" + d, tsk, "Task " + d + ":"));
        v.push_back(label("laTask" + d + "FileName", tsk, "---", TextStyle::File));
        v.push_back(checkBox("cbRun" + d, tsk, "", true, false));
        v.push_back(checkBox("cbStep" + d, tsk, "", true, false));
        v.push_back(checkBox("cbStop" + d, tsk, "", true, false));
        v.push_back(edit("edErrNum" + d));
        v.push_back(edit("edErrLine" + d));
    }
    Control warn;
    warn.name = "WarnMsg";
    warn.kind = ControlKind::Memo;
    warn.group = tsk;
    warn.visible = false;
    v.push_back(warn);

    Control summary;
    summary.name = "meErrorSummary";
    summary.kind = ControlKind::Memo;
    summary.group = Group::Summary;
    v.push_back(summary);
    return v;
}

}  // namespace

DisplayModel::DisplayModel() : controls_(designControls()) {
    for (std::size_t i = 0; i < controls_.size(); ++i) index_.emplace(controls_[i].name, i);
}

Control& DisplayModel::operator[](std::string_view name) {
    auto it = index_.find(name);
    if (it == index_.end()) throw std::out_of_range("no control named " + std::string(name));
    return controls_[it->second];
}

const Control& DisplayModel::operator[](std::string_view name) const {
    return const_cast<DisplayModel&>(*this)[name];
}

bool DisplayModel::has(std::string_view name) const { return index_.contains(name); }

void DisplayModel::setText(std::string_view name, std::string text) { (*this)[name].text = std::move(text); }

void DisplayModel::setRole(std::string_view name, ColourRole role) { (*this)[name].role = role; }

void DisplayModel::setValue(std::string_view name, std::string text, ColourRole role) {
    Control& c = (*this)[name];
    c.text = std::move(text);
    c.role = role;
}

void DisplayModel::appendText(std::string_view name, std::string_view more) { (*this)[name].text += more; }

void DisplayModel::setChecked(std::string_view name, bool checked) { (*this)[name].checked = checked; }

void DisplayModel::setVisible(std::string_view name, bool visible) { (*this)[name].visible = visible; }

void DisplayModel::placeAfter(std::string_view name, std::string_view before) {
    Control& c = (*this)[name];
    (*this)[before];  // must name a control too
    if (!c.alignedWith.empty()) (*this)[c.alignedWith].alignedWith.clear();
    c.alignedWith.clear();
    c.placedAfter = std::string(before);
}

void DisplayModel::setPlaced(std::string_view name, std::string text, std::string_view before) {
    setText(name, std::move(text));
    placeAfter(name, before);
}

void DisplayModel::alignStarts(std::string_view a, std::string_view b) {
    (*this)[a].alignedWith = std::string(b);
    (*this)[b].alignedWith = std::string(a);
}

std::string DisplayModel::summaryText() const {
    std::string out;
    for (std::size_t i = 0; i < summary.size(); ++i) {
        if (i) out += '\n';
        out += summary[i];
    }
    return out;
}

void replaceLines(std::vector<std::string>& lines, std::string_view text) {
    lines.clear();
    std::size_t start = 0;
    for (;;) {
        std::size_t nl = text.find('\n', start);
        lines.emplace_back(text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start));
        if (nl == std::string_view::npos) break;
        start = nl + 1;
    }
}

}  // namespace kvx
