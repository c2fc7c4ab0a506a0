#include "ui/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QVBoxLayout>

#include <algorithm>

#include "display/display_model.h"
#include "display/staleness.h"
#include "display/window_actions.h"
#include "ui/window_design.h"
#include "ui/window_layout.h"

namespace kvx {

using namespace kvx::ui;

struct MainWindow::Bound {
    std::string name;
    std::size_t modelIndex = 0;
    ControlKind kind = ControlKind::Label;
    QWidget* widget = nullptr;
    ui::Box natural;  // the size it takes with its current text, in this window's font
    ColourRole role = ColourRole::Plain;  // as last drawn
};

namespace {

// The design font is not there on Linux; a sans font at 11 px em gives the
// 13 px character cell the layout was drawn for.
QFont windowFont() {
    QFont font;
    if (QFontDatabase::hasFamily(QStringLiteral("MS Sans Serif"))) {
        font.setFamily(QStringLiteral("MS Sans Serif"));
    } else {
        font.setStyleHint(QFont::SansSerif);
        font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                          QStringLiteral("Noto Sans")});
    }
    font.setPixelSize(11);
    return font;
}

QString qs(const std::string& s) { return QString::fromStdString(s); }

QString joinLines(const std::vector<std::string>& lines) {
    QStringList out;
    out.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& l : lines) out << qs(l);
    return out.join(QLatin1Char('\n'));
}

// A label is as wide as its text, so the value after it starts where the
// text ends.
ui::Box textSize(const QLabel* label) {
    const QFontMetrics fm = label->fontMetrics();
    return {0, 0, fm.horizontalAdvance(label->text()), fm.height()};
}

ui::Box boxOf(QSize size) { return {0, 0, size.width(), size.height()}; }

QRect rectOf(const ui::Box& b) { return QRect(b.x, b.y, b.width, b.height); }

void setColour(QWidget* w, QPalette::ColorRole role, const QColor& colour) {
    if (w->palette().color(QPalette::Active, role) == colour &&
        w->palette().color(QPalette::Disabled, role) == colour)
        return;
    QPalette p = w->palette();
    p.setColor(role, colour);  // every colour group, so disabled fields keep it
    w->setPalette(p);
}

void setBold(QWidget* w, bool bold) {
    if (w->font().bold() == bold) return;
    QFont f = w->font();
    f.setBold(bold);
    w->setFont(f);
}

// A group box whose frame line runs through the middle of its title, so the
// first row of controls (y 12 and 16) sits inside the frame as designed.
class EtchedGroup : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QFontMetrics fm = fontMetrics();
        const int top = fm.height() / 2;
        const QRect frame(0, top, width() - 2, height() - top - 2);
        p.setPen(palette().color(QPalette::Mid));
        p.drawRect(frame);
        p.setPen(palette().color(QPalette::Light));
        p.drawRect(frame.translated(1, 1));
        const QRect caption(8, 0, fm.horizontalAdvance(title()) + 4, fm.height());
        p.fillRect(caption, palette().color(QPalette::Window));
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(caption, Qt::AlignCenter, title());
    }
};

}  // namespace

MainWindow::MainWindow(DisplayModel& model, WindowActions& actions, QWidget* parent)
    : QWidget(parent), model_(model), actions_(actions) {
    setObjectName(QStringLiteral("MainWindow"));
    setFont(windowFont());
    build();
    connectActions();
    applyPlacement();
    render();
}

MainWindow::~MainWindow() = default;

QGroupBox* MainWindow::makeGroup(const char* name, const char* title) {
    auto* group = new EtchedGroup(QString::fromLatin1(title), canvas_);
    group->setObjectName(QString::fromLatin1(name));
    return group;
}

void MainWindow::build() {
    scroll_ = new QScrollArea(this);
    scroll_->setObjectName(QStringLiteral("scrollArea"));
    scroll_->setFrameShape(QFrame::NoFrame);
    // The layout sizes the canvas and says which bars show (applyLayout).
    scroll_->setWidgetResizable(false);
    scroll_->installEventFilter(this);
    canvas_ = new QWidget;
    canvas_->setObjectName(QStringLiteral("canvas"));
    scroll_->setWidget(canvas_);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll_);

    versionGroup_ = makeGroup("gbVersionInformation", "Version Details");
    boardGroup_ = makeGroup("gbBoardInformation", "Board Details");
    taskGroup_ = makeGroup("gbTaskInformation", "Task Details");
    summaryGroup_ = makeGroup("bgErrorSummary", "Error Summary");

    const auto& controls = model_.controls();
    bound_.reserve(controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        QGroupBox* group = versionGroup_;
        switch (c.group) {
        case Group::Version: group = versionGroup_; break;
        case Group::Board: group = boardGroup_; break;
        case Group::Task: group = taskGroup_; break;
        case Group::Summary: group = summaryGroup_; break;
        }
        Bound b;
        b.name = c.name;
        b.modelIndex = i;
        b.kind = c.kind;
        b.widget = makeControl(c, group);
        // A label is measured by its text when it is first drawn.
        if (c.kind != ControlKind::Label) b.natural = boxOf(b.widget->sizeHint());
        byName_.emplace(c.name, bound_.size());
        bound_.push_back(b);
    }
    normalColour_ = qobject_cast<QLabel*>(control("NormalColor"));
    errorColour_ = qobject_cast<QLabel*>(control("ErrorColor"));
    summary_ = qobject_cast<QPlainTextEdit*>(control("meErrorSummary"));
    warnings_ = qobject_cast<QPlainTextEdit*>(control("WarnMsg"));
    // The colour holders carry the two value colours; values copy from them.
    setColour(normalColour_, QPalette::WindowText, QColor(0, 0, 255));
    setColour(errorColour_, QPalette::WindowText, QColor(255, 0, 0));

    auto* summaryLayout = new QVBoxLayout(summaryGroup_);
    summaryLayout->setContentsMargins(4, 2, 4, 4);
    summaryLayout->addWidget(summary_);
    summary_->viewport()->installEventFilter(this);
    summary_->setTabChangesFocus(true);  // read-only: Tab moves on
    // The style draws no focus frame round a text field; the summary is a
    // tab stop, so it shows when it has the focus.
    summary_->setStyleSheet(QStringLiteral("QPlainTextEdit { border: 1px solid palette(mid); }"
                                           "QPlainTextEdit:focus { border: 1px solid palette(highlight); }"));

    taskNumberWidth_ = taskFieldWidth();
    orderTabStops();
    resize(kDesignWidth, kDesignHeight);
}

// Wide enough for the widest 32-bit number in the fields' bold font, with the
// frame and margins a line edit draws around its text.
int MainWindow::taskFieldWidth() const {
    auto* edit = qobject_cast<QLineEdit*>(control("edErrNum0"));
    const QFontMetrics fm(edit->font());
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    const QMargins margins = edit->textMargins();
    const int text = fm.horizontalAdvance(QString::fromLatin1(kWidestTaskNumber)) + margins.left() + margins.right() +
                     2 * 2 /* the line edit's own horizontal margin */ + 2 /* the cursor */;
    return edit->style()
        ->sizeFromContents(QStyle::CT_LineEdit, &option, QSize(text, fm.height()), edit)
        .width();
}

// Tab goes window mode, card number, Boot System, Get File Names, Use
// WebServices (the last three only where shown), then the error summary.
void MainWindow::orderTabStops() {
    scroll_->setFocusPolicy(Qt::NoFocus);
    const char* const order[] = {"cbStayOnTop", "cbCardNr", "buReboot", "cbGetFileNames", "cbUseWebServices",
                                 "meErrorSummary"};
    for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(control(order[i - 1]), control(order[i]));
    control(order[0])->setFocus();
}

QWidget* MainWindow::makeControl(const Control& c, QGroupBox* group) {
    QWidget* w = nullptr;
    switch (c.kind) {
    case ControlKind::Label: {
        auto* label = new QLabel(group);
        label->setTextFormat(Qt::PlainText);
        label->setMargin(0);
        label->setIndent(0);
        w = label;
        break;
    }
    case ControlKind::CheckBox: {
        auto* box = new QCheckBox(group);
        box->setLayoutDirection(Qt::RightToLeft);  // text left of the box
        // The task flags are disabled only so nobody changes them; their
        // marks must stay as easy to read as an enabled box.
        QPalette p = box->palette();
        for (auto role : {QPalette::Text, QPalette::WindowText, QPalette::Base})
            p.setColor(QPalette::Disabled, role, p.color(QPalette::Active, role));
        box->setPalette(p);
        w = box;
        break;
    }
    case ControlKind::ComboBox: {
        auto* combo = new QComboBox(group);
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setCompleter(nullptr);  // the typed text stays as typed
        w = combo;
        break;
    }
    case ControlKind::Edit: {
        auto* edit = new QLineEdit(group);
        edit->setReadOnly(true);
        w = edit;
        break;
    }
    case ControlKind::Memo: {
        auto* memo = new QPlainTextEdit(group);
        memo->setReadOnly(true);
        memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        w = memo;
        break;
    }
    case ControlKind::Button:
        w = new QPushButton(group);
        break;
    }
    w->setObjectName(qs(c.name));
    setBold(w, c.style != TextStyle::Caption);
    return w;
}

QWidget* MainWindow::control(const std::string& name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : bound_[it->second].widget;
}

void MainWindow::connectActions() {
    for (const char* name : {"cbCardNr", "cbStayOnTop"}) {
        auto* combo = qobject_cast<QComboBox*>(control(name));
        const std::string key = name;
        // Signals are blocked while the window draws the model, so these
        // only fire for what the user does.
        connect(combo, &QComboBox::currentIndexChanged, this,
                [this, key](int index) { onComboSelected(key, index); });
        connect(combo->lineEdit(), &QLineEdit::textEdited, this,
                [this, key](const QString& text) { onComboEdited(key, text); });
    }
    auto* web = qobject_cast<QCheckBox*>(control("cbUseWebServices"));
    connect(web, &QCheckBox::clicked, this, [this](bool checked) {
        model_["cbUseWebServices"].checked = checked;
        actions_.cbUseWebServicesClick(checked);
        render();
    });
    auto* names = qobject_cast<QCheckBox*>(control("cbGetFileNames"));
    connect(names, &QCheckBox::clicked, this, [this](bool checked) {
        model_["cbGetFileNames"].checked = checked;
        actions_.cbGetFileNamesClick(checked);
        render();
    });
    auto* reboot = qobject_cast<QPushButton*>(control("buReboot"));
    connect(reboot, &QPushButton::clicked, this, [this] {
        actions_.buRebootClick();
        render();
    });
}

// The model keeps what the user picked, so the next render shows it instead
// of putting the old choice back.
void MainWindow::onComboSelected(const std::string& name, int index) {
    auto* combo = qobject_cast<QComboBox*>(control(name));
    Control& c = model_[name];
    c.selectedIndex = index;
    c.text = index >= 0 ? combo->itemText(index).toStdString() : std::string();
    report(name, index);
}

// Typing selects the item with exactly that text, anything else is no
// selection.
void MainWindow::onComboEdited(const std::string& name, const QString& text) {
    auto* combo = qobject_cast<QComboBox*>(control(name));
    const int index = text.isEmpty() ? -1 : combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    Control& c = model_[name];
    const int before = c.selectedIndex;
    c.text = text.toStdString();
    c.selectedIndex = index;
    if (combo->currentIndex() != index) {
        const QSignalBlocker quiet(combo);
        const int cursor = combo->lineEdit()->cursorPosition();
        combo->setCurrentIndex(index);
        combo->setEditText(text);
        combo->lineEdit()->setCursorPosition(cursor);
    }
    if (index == before) return;
    // A half-typed card number selects no card; the window mode falls back
    // to normal as soon as the text names no mode.
    if (name == "cbCardNr" && index < 0) return;
    report(name, index);
}

void MainWindow::report(const std::string& name, int index) {
    if (name == "cbCardNr")
        actions_.cbCardNrChange(index);
    else
        actions_.cbStayOnTopChange(index);
    render();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (summary_ && watched == summary_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        actions_.meErrorSummaryDblClick();
        render();
    } else if (watched == scroll_ && event->type() == QEvent::Resize) {
        applyLayout();
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    emit closing();
    event->accept();
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (scrollPending_) applyScroll();
}

QColor MainWindow::roleColour(ColourRole role) const {
    QColor value;
    switch (role) {
    case ColourRole::Normal: value = normalColour_->palette().color(QPalette::WindowText); break;
    case ColourRole::Fault: value = errorColour_->palette().color(QPalette::WindowText); break;
    case ColourRole::Plain: return palette().color(QPalette::WindowText);
    }
    if (!staleSeconds_) return value;
    // Old values fade halfway into the background: still readable, plainly not current.
    const QColor back = palette().color(QPalette::Window);
    return QColor((value.red() + back.red()) / 2, (value.green() + back.green()) / 2, (value.blue() + back.blue()) / 2);
}

void MainWindow::render() {
    for (Bound& b : bound_) renderControl(b);
    renderSummary();
    applyLayout();
    caption_ = qs(model_.caption);
    renderStaleness();
    renderStayOnTop();
}

void MainWindow::setStale(std::optional<std::int64_t> seconds) {
    if (seconds == staleSeconds_) return;
    const bool colours = seconds.has_value() != staleSeconds_.has_value();
    staleSeconds_ = seconds;
    if (colours) {
        // From what was drawn last: a tick that waits for a call may have
        // changed the model halfway.
        for (const Bound& b : bound_) {
            if (b.kind == ControlKind::Label && b.widget != normalColour_ && b.widget != errorColour_)
                setColour(b.widget, QPalette::WindowText, roleColour(b.role));
            else if (b.kind == ControlKind::Edit)
                setColour(b.widget, QPalette::Text, roleColour(b.role));
        }
    }
    renderStaleness();
}

void MainWindow::renderStaleness() {
    const QString marker = staleSeconds_ ? QStringLiteral(" - ") + qs(staleText(*staleSeconds_)) : QString();
    const QString caption = caption_ + marker;
    if (windowTitle() != caption) setWindowTitle(caption);
    const QString heading = QStringLiteral("Error Summary") + marker;
    if (summaryGroup_->title() != heading) summaryGroup_->setTitle(heading);
}

void MainWindow::renderControl(Bound& b) {
    const Control& c = model_.controls()[b.modelIndex];
    QWidget* w = b.widget;
    const QString text = qs(c.text);
    b.role = c.role;

    switch (b.kind) {
    case ControlKind::Label: {
        auto* label = static_cast<QLabel*>(w);
        if (label != normalColour_ && label != errorColour_)
            setColour(label, QPalette::WindowText, roleColour(c.role));
        if (label->text() != text || b.natural.height == 0) {
            label->setText(text);
            b.natural = textSize(label);
        }
        break;
    }
    case ControlKind::CheckBox: {
        auto* box = static_cast<QCheckBox*>(w);
        if (box->text() != text) {
            box->setText(text);
            b.natural = boxOf(box->sizeHint());
        }
        if (box->isChecked() != c.checked) {
            const QSignalBlocker quiet(box);
            box->setChecked(c.checked);
        }
        break;
    }
    case ControlKind::ComboBox: {
        auto* combo = static_cast<QComboBox*>(w);
        const QSignalBlocker quiet(combo);
        QStringList items;
        for (const std::string& item : c.items) items << qs(item);
        bool same = combo->count() == items.size();
        for (int i = 0; same && i < items.size(); ++i) same = combo->itemText(i) == items[i];
        if (!same) {
            combo->clear();
            combo->addItems(items);
        }
        const int index = c.selectedIndex < combo->count() ? c.selectedIndex : -1;
        if (combo->currentIndex() != index) combo->setCurrentIndex(index);
        // A selected item shows its own text; without one the typed text.
        const QString shown = index >= 0 ? combo->itemText(index) : text;
        if (combo->currentText() != shown) combo->setEditText(shown);
        break;
    }
    case ControlKind::Edit: {
        auto* edit = static_cast<QLineEdit*>(w);
        setColour(edit, QPalette::Text, roleColour(c.role));
        if (edit->text() != text) edit->setText(text);
        break;
    }
    case ControlKind::Memo:
        break;  // the summary and the warning store render from their lines
    case ControlKind::Button: {
        auto* button = static_cast<QPushButton*>(w);
        if (button->text() != text) button->setText(text);
        break;
    }
    }

    if (w->isHidden() == c.visible) w->setVisible(c.visible);
    if (w->isEnabled() != c.enabled) w->setEnabled(c.enabled);
    const QString hint = qs(c.hint);
    if (w->toolTip() != hint) w->setToolTip(hint);
}

void MainWindow::renderSummary() {
    const QString warnings = joinLines(model_.warnings);
    if (warnings != shownWarnings_) {
        shownWarnings_ = warnings;
        warnings_->setPlainText(warnings);
    }
    const QString text = qs(model_.summaryText());
    if (text == shownSummary_) return;
    shownSummary_ = text;
    // The list is rebuilt every tick; whoever scrolled down to read it stays
    // where they were as long as the text reaches that far.
    QScrollBar* bar = summary_->verticalScrollBar();
    const int position = bar->value();
    summary_->setPlainText(text);
    bar->setValue(std::min(position, bar->maximum()));
}

// Places the groups and every control for the scroll area's size and the
// texts shown now; only what moved is touched.
void MainWindow::applyLayout() {
    ui::Measures measures;
    measures.natural.resize(model_.controls().size());
    for (const Bound& b : bound_) measures.natural[b.modelIndex] = b.natural;
    measures.taskNumberWidth = taskNumberWidth_;
    measures.scrollBarExtent = scroll_->verticalScrollBar()->sizeHint().width();
    const ui::WindowLayout l = ui::layoutWindow(model_, scroll_->width(), scroll_->height(), measures);

    const auto policy = [](bool shown) { return shown ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff; };
    if (scroll_->horizontalScrollBarPolicy() != policy(l.horizontalBar))
        scroll_->setHorizontalScrollBarPolicy(policy(l.horizontalBar));
    if (scroll_->verticalScrollBarPolicy() != policy(l.verticalBar))
        scroll_->setVerticalScrollBarPolicy(policy(l.verticalBar));
    if (canvas_->size() != QSize(l.canvas.width, l.canvas.height)) canvas_->resize(l.canvas.width, l.canvas.height);
    const std::pair<QGroupBox*, const ui::Box&> groups[] = {
        {versionGroup_, l.version}, {boardGroup_, l.board}, {taskGroup_, l.task}, {summaryGroup_, l.summary}};
    for (const auto& [group, box] : groups)
        if (group->geometry() != rectOf(box)) group->setGeometry(rectOf(box));
    for (const Bound& b : bound_) {
        if (!l.placed[b.modelIndex]) continue;
        const QRect r = rectOf(l.controls[b.modelIndex]);
        if (b.widget->geometry() != r) b.widget->setGeometry(r);
    }
}

void MainWindow::renderStayOnTop() {
    const bool onTop = windowFlags().testFlag(Qt::WindowStaysOnTopHint);
    if (onTop == model_.stayOnTop) return;
    // Changing a window flag hides a shown window; bring it back in place.
    const bool shown = isVisible();
    const QRect geometry = this->geometry();
    setWindowFlag(Qt::WindowStaysOnTopHint, model_.stayOnTop);
    if (shown) {
        setGeometry(geometry);
        show();
    }
}

void MainWindow::syncPlacement() {
    QRect normal = normalGeometry();
    if (!normal.isValid()) normal = geometry();
    WindowPlacement& p = model_.placement;
    p.left = normal.x();
    p.top = normal.y();
    p.width = normal.width();
    p.height = normal.height();
    if (!scrollPending_) {
        p.verticalScroll = scroll_->verticalScrollBar()->value();
        p.horizontalScroll = scroll_->horizontalScrollBar()->value();
    }
}

void MainWindow::applyPlacement() {
    const WindowPlacement& p = model_.placement;
    // A placement stored on a larger screen, or a design size larger than
    // this screen at a high scale, is fitted to the screen it is meant for;
    // the stored values themselves stay as they are.
    const QRect wanted(p.left, p.top, p.width, p.height);
    const QScreen* screen = QGuiApplication::screenAt(wanted.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    ui::Box fitted{p.left, p.top, p.width, p.height};
    if (screen) {
        // Before the first show the frame is not known yet: a typical one.
        const QRect g = geometry(), f = frameGeometry();
        QMargins m(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(), f.bottom() - g.bottom());
        if (m.isNull()) m = QMargins(4, 28, 4, 4);
        const QRect a = screen->availableGeometry();
        fitted = ui::fitOnScreen(fitted, {m.left(), m.top(), m.right(), m.bottom()},
                                 {a.x(), a.y(), a.width(), a.height()});
    }
    setGeometry(rectOf(fitted));
    scrollPending_ = true;
    if (isVisible()) applyScroll();
}

// The scroll ranges are only known once the window has its size on screen.
void MainWindow::applyScroll() {
    scrollPending_ = false;
    scroll_->verticalScrollBar()->setValue(model_.placement.verticalScroll);
    scroll_->horizontalScrollBar()->setValue(model_.placement.horizontalScroll);
}

}  // namespace kvx
