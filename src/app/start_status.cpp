#include "app/start_status.h"

#include <QApplication>
#include <QCloseEvent>

#include <string>

#include "history/tick_record.h"
#include "settings/settings_values.h"

namespace kvx {

StartStatus::StartStatus(const SettingsValues& settings, std::function<void()> stop)
    : settings_(settings), stop_(std::move(stop)), startedMs_(steadyMilliseconds()) {
    setMargin(16);
    setMinimumWidth(360);
    // The timer fires only while the start waits (for a call or in a message
    // box): that is exactly when there is something to say.
    timer_.setInterval(250);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { update(); });
    timer_.start();
}

void StartStatus::update() {
    const std::int64_t elapsed = steadyMilliseconds() - startedMs_;
    if (elapsed < kShowAfterMs) return;
    if (QApplication::activeModalWidget()) {
        hide();
        return;
    }
    const std::string what = settings_.useWebServices && !settings_.remoteUrl.empty()
                                 ? "Connecting to " + settings_.remoteUrl
                                 : std::string("Connecting to the controller");
    const QString text = QString::fromStdString(what + "\u2026 " + std::to_string(elapsed / 1000) + " s");
    if (this->text() != text) {
        setText(text);
        setWindowTitle(QStringLiteral("KvxDiagnostics - ") + text);
    }
    if (!isVisible()) show();
}

void StartStatus::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (stop_) stop_();
}

}  // namespace kvx
