// While the start waits for the controller over a slow link, a small window
// says what it waits for and for how long ("Connecting to URL… 4 s"). It
// shows only once the start has taken longer than a glance, gives way to a
// message box of the start, and goes when the start ends.
#pragma once

#include <QLabel>
#include <QTimer>

#include <cstdint>
#include <functional>

namespace kvx {

struct SettingsValues;

class StartStatus : public QLabel {
public:
    // `stop` is called when the user closes the window: the start cannot be
    // cut short, but the run ends as soon as it has returned.
    StartStatus(const SettingsValues& settings, std::function<void()> stop);

    static constexpr int kShowAfterMs = 500;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void update();

    const SettingsValues& settings_;
    std::function<void()> stop_;
    std::int64_t startedMs_;
    QTimer timer_;
};

}  // namespace kvx
