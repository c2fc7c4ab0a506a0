// Driver calls on a thread of their own while the GUI thread waits in a
// nested event loop that takes no user input: the window keeps being exposed,
// resized and marked stale during a slow call, and nothing the user does, no
// tick and no action, runs until the call has returned.
#pragma once

#include <QObject>
#include <QThread>

#include <functional>

#include "driver/driver_call_wait.h"

namespace kvx {

class DriverCallThread : public DriverCallWait {
public:
    DriverCallThread();
    ~DriverCallThread() override;
    DriverCallThread(const DriverCallThread&) = delete;
    DriverCallThread& operator=(const DriverCallThread&) = delete;

    // Told true as the GUI thread starts waiting for a call and false once
    // it has returned, on the GUI thread.
    void setWaitHook(std::function<void(bool waiting)> hook) { hook_ = std::move(hook); }
    // Whether a wait takes user input: only while no window but the start's
    // own status window exists, so that closing that one is heard (the
    // window system's close request counts as user input).
    void setTakeUserInput(bool take) { takeUserInput_ = take; }

    void run(const std::function<void()>& call) override;
    void callBack(const std::function<void()>& work) override;

private:
    QThread thread_;
    QObject onThread_;  // lives on thread_: calls are queued to it
    QObject onGui_;     // lives on the GUI thread: answers and call-backs are queued to it
    std::function<void(bool)> hook_;
    int depth_ = 0;
    bool takeUserInput_ = false;
};

}  // namespace kvx
