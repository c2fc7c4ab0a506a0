#include "ui/replay_controls.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QSignalBlocker>

#include <algorithm>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace kvx {

namespace {

constexpr int kGap = 12;  // between the main window and the controls beside it

QSettings placeSettings() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, "KvxDiagnostics", "replay");
}

// Pulls `r` into `area` where it sticks out (its size kept where it fits).
QRect inside(QRect r, const QRect& area) {
    r.moveRight(std::min(r.right(), area.right()));
    r.moveBottom(std::min(r.bottom(), area.bottom()));
    r.moveLeft(std::max(r.left(), area.left()));
    r.moveTop(std::max(r.top(), area.top()));
    return r;
}

}  // namespace

QRect placeFor(const QRect& main, const QSize& size, const QRect& available) {
    const int top = std::clamp(main.top(), available.top(), std::max(available.top(), available.bottom() + 1 - size.height()));
    const QRect right(QPoint(main.right() + 1 + kGap, top), size);
    if (available.contains(right)) return right;
    const QRect left(QPoint(main.left() - kGap - size.width(), top), size);
    if (available.contains(left)) return left;
    QRect corner(QPoint(), size);
    corner.moveBottomRight(QPoint(std::min(main.right(), available.right()), std::min(main.bottom(), available.bottom())));
    return inside(corner, available);
}

ReplayControls::ReplayControls(QWidget* mainWindow) : QWidget(mainWindow, Qt::Tool), mainWindow_(mainWindow) {
    setWindowTitle("Replay");
    run_ = new QPushButton("Pause", this);
    step_ = new QPushButton("Step", this);
    speed_ = new QComboBox(this);
    for (int times : {1, 2, 5, 10, 30, 60}) speed_->addItem(QString::number(times) + "x", times);
    time_ = new QLineEdit(this);
    time_->setPlaceholderText("2024/03/05 - 08:15:02 or 08:15:02");
    jump_ = new QPushButton("Jump to", this);
    previousFault_ = new QPushButton("Previous fault", this);
    nextFault_ = new QPushButton("Next fault", this);
    state_ = new QLabel(this);
    note_ = new QLabel(this);
    const std::pair<QWidget*, const char*> names[] = {
        {run_, "buReplayRun"},         {step_, "buReplayStep"},         {speed_, "cbReplaySpeed"},
        {time_, "edReplayTime"},       {jump_, "buReplayJump"},         {previousFault_, "buPreviousFault"},
        {nextFault_, "buNextFault"},   {state_, "laReplayState"},       {note_, "laReplayNote"}};
    for (const auto& [widget, name] : names) widget->setObjectName(name);

    auto* grid = new QGridLayout(this);
    grid->addWidget(run_, 0, 0);
    grid->addWidget(step_, 0, 1);
    grid->addWidget(speed_, 0, 2);
    grid->addWidget(previousFault_, 0, 3);
    grid->addWidget(nextFault_, 0, 4);
    grid->addWidget(time_, 1, 0, 1, 4);
    grid->addWidget(jump_, 1, 4);
    grid->addWidget(state_, 2, 0, 1, 5);
    grid->addWidget(note_, 3, 0, 1, 5);

    connect(run_, &QPushButton::clicked, this, &ReplayControls::runToggled);
    connect(step_, &QPushButton::clicked, this, &ReplayControls::stepRequested);
    connect(speed_, &QComboBox::currentIndexChanged, this,
            [this](int i) { emit speedChosen(speed_->itemData(i).toInt()); });
    connect(jump_, &QPushButton::clicked, this, [this] { emit jumpRequested(time_->text()); });
    connect(time_, &QLineEdit::returnPressed, this, [this] { emit jumpRequested(time_->text()); });
    connect(previousFault_, &QPushButton::clicked, this, &ReplayControls::previousFaultRequested);
    connect(nextFault_, &QPushButton::clicked, this, &ReplayControls::nextFaultRequested);
}

void ReplayControls::showState(const QString& time, long tick, bool running, bool ended) {
    run_->setText(running ? "Pause" : "Run");
    run_->setEnabled(!ended);
    step_->setEnabled(!ended);
    nextFault_->setEnabled(!ended);
    state_->setText(QString("Replay of %1, tick %2%3").arg(time).arg(tick).arg(ended ? " (end of the recording)" : running ? "" : " (paused)"));
}

void ReplayControls::showNote(const QString& note) { note_->setText(note); }

void ReplayControls::showSpeed(int times) {
    const QSignalBlocker quiet(speed_);
    int at = speed_->findData(times);
    if (at < 0) {
        at = 0;
        while (at < speed_->count() && speed_->itemData(at).toInt() < times) ++at;
        speed_->insertItem(at, QString::number(times) + "x", times);
    }
    speed_->setCurrentIndex(at);
}

void ReplayControls::closeEvent(QCloseEvent* event) {
    rememberPlace();
    QWidget::closeEvent(event);
}

void ReplayControls::showBeside() {
    adjustSize();
    // The window manager adds its frame only once a window is shown; until
    // then the main window's frame stands for the controls' one, and a
    // typical title bar where not even that one is known yet.
    QMargins frame(mainWindow_->geometry().left() - mainWindow_->frameGeometry().left(),
                   mainWindow_->geometry().top() - mainWindow_->frameGeometry().top(),
                   mainWindow_->frameGeometry().right() - mainWindow_->geometry().right(),
                   mainWindow_->frameGeometry().bottom() - mainWindow_->geometry().bottom());
    if (frame.isNull()) frame = QMargins(4, 28, 4, 4);
    const QSize outer = size().grownBy(frame);

    // The kept place is checked with the frame the controls had there, not
    // with the guess: the main window's title bar is higher than theirs.
    const QSettings settings = placeSettings();
    const QVariant kept = settings.value("Controls/Position");
    const QSize keptSize = settings.value("Controls/Size").toSize();
    if (kept.canConvert<QPoint>()) {
        const QRect there(kept.toPoint(), keptSize.isValid() ? keptSize : outer);
        for (const QScreen* screen : QGuiApplication::screens())
            if (screen->availableGeometry().contains(there)) {
                move(there.topLeft());
                show();
                return;
            }
    }
    const QScreen* screen = mainWindow_->screen() ? mainWindow_->screen() : QGuiApplication::primaryScreen();
    move(placeFor(mainWindow_->frameGeometry(), outer, screen->availableGeometry()).topLeft());
    show();
}

void ReplayControls::rememberPlace() const {
    if (!isVisible()) return;
    QSettings settings = placeSettings();
    settings.setValue("Controls/Position", frameGeometry().topLeft());
    settings.setValue("Controls/Size", frameGeometry().size());
}

}  // namespace kvx
