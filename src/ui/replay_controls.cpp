#include "ui/replay_controls.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace kvx {

ReplayControls::ReplayControls(QWidget* mainWindow) : QWidget(mainWindow, Qt::Tool) {
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

}  // namespace kvx
